#include "platform/HttpClient.h"

#include "platform/Errors.h"
#include "tests/support/FakeServer.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// Reads one request head (and a one-line body when it has a length) and
// returns the head's lines.
std::string ReadRequest(test::FakeConnection& conn) {
  std::string head, line;
  bool has_body = false;
  while (conn.ReadLine(line) && !line.empty()) {
    head += line + "\n";
    if (line.rfind("Content-Length: ", 0) == 0 && line != "Content-Length: 0") has_body = true;
  }
  if (has_body && conn.ReadLine(line)) head += "body=" + line + "\n";
  return head;
}

TEST(HttpClient, KeepsOneConnectionAndSendsOnlyTheGivenHeaders) {
  std::vector<std::string> heads;
  test::FakeServer server([&](test::FakeConnection& conn) {
    for (int i = 0; i < 2; ++i) {
      heads.push_back(ReadRequest(conn));
      conn.Send(i == 0 ? "HTTP/1.1 207 Multi-Status\r\nContent-Length: 3\r\n\r\nabc"
                       : "HTTP/1.1 404 \r\nContent-Length: 0\r\n\r\n");
    }
  });
  HttpClient client;
  HttpRequest search;
  search.method = "SEARCH";
  search.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/exchange/ann/";
  search.headers = {{"Content-Type", "text/xml"}, {"Translate", "f"}};
  search.body = "<a:searchrequest/>\r\n";
  search.has_body = true;
  HttpResponse response;
  ASSERT_TRUE(client.Perform(search, response)) << client.error_text();
  EXPECT_EQ(response.status, 207);
  EXPECT_EQ(response.status_text, "Multi-Status");
  EXPECT_EQ(response.body, "abc");

  HttpRequest get;
  get.url = search.url + "1.EML";
  get.headers = {{"Translate", "f"}};
  ASSERT_TRUE(client.Perform(get, response)) << client.error_text();
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.status_text, "");
  EXPECT_EQ(client.connections_opened(), 1);
  server.Stop();

  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0].rfind("SEARCH /exchange/ann/ HTTP/1.1\n", 0), 0u) << heads[0];
  EXPECT_NE(heads[0].find("Content-Type: text/xml\n"), std::string::npos);
  EXPECT_NE(heads[0].find("body=<a:searchrequest/>\n"), std::string::npos);
  EXPECT_EQ(heads[0].find("Expect"), std::string::npos);
  EXPECT_EQ(heads[1].rfind("GET /exchange/ann/1.EML HTTP/1.1\n", 0), 0u) << heads[1];
  EXPECT_EQ(heads[1].find("Content-Type"), std::string::npos);
}

TEST(HttpClient, OversizedSilentAndMissingServersFailWithTheirCodes) {
  test::FakeServer big([](test::FakeConnection& conn) {
    ReadRequest(conn);
    conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'));
  });
  test::FakeServer silent([](test::FakeConnection& conn) {
    ReadRequest(conn);
    conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab");
    conn.Stall();
  });
  HttpClient client;
  HttpRequest request;
  HttpResponse response;

  request.url = "http://127.0.0.1:" + std::to_string(big.port()) + "/";
  request.max_reply_bytes = 1000;
  EXPECT_FALSE(client.Perform(request, response));
  EXPECT_EQ(client.error_code(), 111);
  EXPECT_TRUE(response.body.empty());

  HttpClient client2;
  request.url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
  request.stall_seconds = 1;
  EXPECT_FALSE(client2.Perform(request, response));
  EXPECT_EQ(client2.error_code(), err::kTimedOut) << client2.error_text();
  silent.Stop();

  int closed_port = big.port();
  big.Stop();
  HttpClient client3;
  request.url = "http://127.0.0.1:" + std::to_string(closed_port) + "/";
  EXPECT_FALSE(client3.Perform(request, response));
  EXPECT_EQ(client3.error_code(), err::kConnRefused) << client3.error_text();
}

}  // namespace
}  // namespace tarnwick
