// Proxy tunnels against a scripted proxy: the exact bytes of each request,
// every refusal text, malformed and endless replies, a body before the
// mail server's greeting, and the reconnect after a 407 that closes.
#include "mailclient/ProxyTunnel.h"

#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "tests/support/FakeServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

using test::FakeConnection;
using test::FakeServer;

// The mail server behind the tunnel: a POP3 greeting and a login.
constexpr const char* kPop3 = "S: +OK ready\nC: USER u\nS: +OK\nC: PASS p\nS: +OK in\n";

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

CMailServer Through(const FakeServer& proxy, int32_t kind, const std::string& server = "127.0.0.1") {
  CMailServer s;
  s.Server = server;
  s.Port = 4110;
  s.User = "u";
  s.Password = "p";
  s.SocksProxyServer = "127.0.0.1";
  s.SocksProxyPort = proxy.port();
  s.ProxyProtocol = kind;
  return s;
}

struct Session : CMailClient {
  Session() { Timeout = 5; }
};

// Reads an HTTP request head; its lines without CR LF.
std::vector<std::string> ReadRequest(FakeConnection& c) {
  std::vector<std::string> lines;
  std::string line;
  while (c.ReadLine(line) && !line.empty()) lines.push_back(line);
  return lines;
}

// --- SOCKS4 ------------------------------------------------------------------

TEST(ProxySocks4, SendsTheRequestAndReadsEachReplyCode) {
  struct Case {
    int code;
    std::string error;
  };
  const Case cases[] = {
      {90, ""},
      {91, "Socks4 Proxy: Request rejected or failed.\r\nNativeErrorCode: 91\r\n"},
      {92, "Socks4 Proxy: Request rejected becasue SOCKS server cannot connect to identd on the client.\r\n"
           "NativeErrorCode: 92\r\n"},
      {93, "Socks4 Proxy: Request rejected because the client program and identd report different user-ids.\r\n"
           "NativeErrorCode: 93\r\n"},
      {200, "Socks4 Proxy: Unknown error with socks4 proxy server.\r\nNativeErrorCode: 200 \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    std::string request;
    FakeServer proxy([&](FakeConnection& conn) {
      if (!conn.ReadBytes(request, 14)) return;
      conn.Send(Bytes({0, c.code, 0, 0, 0, 0, 0, 0}));
      if (c.code == 90) FakeServer::RunScript(conn, kPop3);
    });
    Session s;
    CMailServer settings = Through(proxy, Socks4);
    settings.SocksProxyUser = "alice";
    settings.SocksProxyPassword = "unused";
    const int32_t rc = s.Connect(&settings);
    EXPECT_EQ(request, Bytes({4, 1, 4110 >> 8, 4110 & 0xFF, 127, 0, 0, 1}) + "alice" + std::string(1, '\0'));
    if (c.code == 90) {
      EXPECT_EQ(rc, 0) << s.LastError;
      EXPECT_NE(s.Transcript.find("Socks4 proxy server connected target server successfully.\r\n+OK ready"),
                std::string::npos);
    } else {
      EXPECT_EQ(rc, kMailFailure);
      EXPECT_EQ(s.LastResponse, std::to_string(c.code));
      EXPECT_EQ(s.LastError, c.error);
      EXPECT_TRUE(s.Transcript.ends_with(c.error));
    }
    // The request is not logged.
    EXPECT_EQ(s.Transcript.find(Bytes({4, 1, 4110 >> 8})), std::string::npos);
  }
}

TEST(ProxySocks4, TargetWithOnlyIpv6AddressesFailsBeforeSending) {
  std::atomic<bool> received{false};
  FakeServer proxy([&](FakeConnection& conn) {
    std::string b;
    received = conn.ReadBytes(b, 1, 3000);
  });
  Session s;
  CMailServer settings = Through(proxy, Socks4, "::1");
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 11001", 0), 0u) << s.LastError;
  s.Close();
  proxy.WaitDone();
  EXPECT_FALSE(received);
}

// --- SOCKS5 ------------------------------------------------------------------

// A SOCKS5 proxy without a login that records the connect request and
// answers with reply, then plays the mail server.
FakeServer::Handler Socks5Proxy(std::string& request, std::string reply) {
  return [&request, reply](FakeConnection& conn) {
    std::string offer, head, rest;
    if (!conn.ReadBytes(offer, 3) || !conn.Send(Bytes({5, 0}))) return;
    if (!conn.ReadBytes(head, 5)) return;
    const int type = static_cast<unsigned char>(head[3]);
    const std::size_t more = type == 1 ? 5 : type == 4 ? 17 : static_cast<unsigned char>(head[4]) + 2u;
    if (!conn.ReadBytes(rest, more)) return;
    request = head + rest;
    conn.Send(reply);
    if (reply[1] == 0) FakeServer::RunScript(conn, kPop3);
  };
}

TEST(ProxySocks5, AddressTypesAndBoundAddressesOfEveryKind) {
  const std::string name200(200, 'h');
  const std::string name255 = std::string(251, 'n') + ".org";
  const std::string port = Bytes({4110 >> 8, 4110 & 0xFF});
  struct Case {
    std::string server;
    std::string address;  // type and address bytes expected in the request
    std::string bound;    // what the proxy answers after 05 00 00
  };
  const std::string v6 = std::string(15, '\0') + "\x01";
  const Case cases[] = {
      {"127.0.0.1", Bytes({1, 127, 0, 0, 1}), Bytes({1, 10, 0, 0, 9, 0x12, 0x34})},
      {"Mail.Example.ORG", Bytes({3, 16}) + "Mail.Example.ORG", Bytes({3, 19}) + "proxy.bound.example" + port},
      {"::1", Bytes({4}) + v6, Bytes({4}) + v6 + port},
      {name200, Bytes({3, 200}) + name200, Bytes({3, 255}) + std::string(255, 'b') + port},
      {name255, Bytes({3, 255}) + name255, Bytes({3, 0}) + port},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server.substr(0, 20));
    std::string request;
    FakeServer proxy(Socks5Proxy(request, Bytes({5, 0, 0}) + c.bound));
    Session s;
    CMailServer settings = Through(proxy, Socks5, c.server);
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << s.Transcript;
    EXPECT_EQ(request, Bytes({5, 1, 0}) + c.address + port);
    // The bound address was read to its end: the greeting arrived whole.
    EXPECT_NE(s.Transcript.find("Socks5 proxy server connected target server successfully.\r\n+OK ready\r\n"),
              std::string::npos);
  }
}

TEST(ProxySocks5, NameLongerThan255BytesIsRefusedBeforeSending) {
  std::atomic<bool> received{false};
  FakeServer proxy([&](FakeConnection& conn) {
    std::string b;
    received = conn.ReadBytes(b, 1, 3000);
  });
  Session s;
  CMailServer settings = Through(proxy, Socks5, std::string(256, 'x'));
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError, "Socks5 Proxy: The target host name is longer than 255 bytes.\r\nNativeErrorCode: 10063\r\n");
  s.Close();
  proxy.WaitDone();
  EXPECT_FALSE(received);
}

TEST(ProxySocks5, EveryReplyCodeHasItsText) {
  const char* texts[] = {"General SOCKS server failure.", "Connection not allowed by ruleset.",
                         "Network unreachable.",          "Host unreachable.",
                         "Connection refused.",           "TTL expired.",
                         "Command not supported.",        "Address type not supported.",
                         "Unknown error with socks5 proxy server."};
  for (int r = 1; r <= 9; ++r) {
    SCOPED_TRACE(r);
    std::string request;
    FakeServer proxy(Socks5Proxy(request, Bytes({5, r, 0, 1, 0, 0, 0, 0, 0, 0})));
    Session s;
    CMailServer settings = Through(proxy, Socks5);
    EXPECT_EQ(s.Connect(&settings), kMailFailure);
    EXPECT_EQ(s.LastResponse, std::to_string(r));
    const std::string error = "Socks5 Proxy: " + std::string(texts[r - 1]) + "\r\nNativeErrorCode: " +
                              std::to_string(r) + "\r\n";
    EXPECT_EQ(s.LastError, error);
    EXPECT_TRUE(s.Transcript.ends_with(error));
  }
}

TEST(ProxySocks5, MethodNegotiationAndLogin) {
  struct Case {
    std::string user, password;
    std::string offer;   // expected method offer
    int method;          // the proxy's choice
    int status;          // the proxy's verdict on the login (method 2)
    std::string error;   // expected LastError; empty: the tunnel stands
    std::string response;
  };
  const Case cases[] = {
      {"bob", "", Bytes({5, 1, 0}), 2, 0,
       "Socks5 Proxy: User authentication is required by socks5 proxy server.\r\nNativeErrorCode: 2\r\n", "2"},
      {"", "", Bytes({5, 1, 0}), 255, 0,
       "Socks5 Proxy: None of the authentication method was accepted by socks5 proxy server.\r\n"
       "NativeErrorCode: 255\r\n",
       "255"},
      {"bob", "s3cret", Bytes({5, 2, 0, 2}), 2, 1, "Socks5 Proxy: Bad Username/Password.\r\nNativeErrorCode: 1\r\n",
       "1"},
      {"bob", "s3cret", Bytes({5, 2, 0, 2}), 2, 0, "", ""},
      {"bob", "s3cret", Bytes({5, 2, 0, 2}), 0, 0, "", ""},
      {"bob", "s3cret", Bytes({5, 2, 0, 2}), 7, 0, "", ""},  // unknown method: goes on without a login
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + "/" + c.password + " method " + std::to_string(c.method));
    std::string offer, login;
    FakeServer proxy([&](FakeConnection& conn) {
      if (!conn.ReadBytes(offer, c.offer.size()) || !conn.Send(Bytes({5, c.method}))) return;
      if (c.method == 2) {
        if (!conn.ReadBytes(login, 3 + c.user.size() + c.password.size())) return;
        conn.Send(Bytes({1, c.status}));
        if (c.status) return;
      }
      std::string request;
      if (!conn.ReadBytes(request, 10)) return;
      conn.Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 1}));
      FakeServer::RunScript(conn, kPop3);
    });
    Session s;
    CMailServer settings = Through(proxy, Socks5);
    settings.SocksProxyUser = c.user;
    settings.SocksProxyPassword = c.password;
    const int32_t rc = s.Connect(&settings);
    s.Close();
    proxy.WaitDone();
    EXPECT_EQ(offer, c.offer);
    if (c.method == 2 && !c.password.empty()) {
      EXPECT_EQ(login, Bytes({1, 3}) + "bob" + Bytes({6}) + "s3cret");
    }
    if (c.error.empty()) {
      EXPECT_EQ(rc, 0) << s.LastError;
    } else {
      EXPECT_EQ(rc, kMailFailure);
      EXPECT_EQ(s.LastError, c.error);
      EXPECT_EQ(s.LastResponse, c.response);
    }
    // The login exchange never reaches the log.
    EXPECT_EQ(s.Transcript.find("s3cret"), std::string::npos);
  }
}

// --- HTTP CONNECT ------------------------------------------------------------

TEST(ProxyHttp, ReconnectsAfter407WithProxyConnectionCloseAndMasksTheLogin) {
  int connection = 0;
  std::vector<std::string> first, second;
  FakeServer proxy([&](FakeConnection& conn) {
    if (++connection == 1) {
      first = ReadRequest(conn);
      conn.Send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"r\"\r\n"
                "Proxy-Connection: ClOsE\r\nContent-Length: 4\r\n\r\nnope");
      conn.Stall();  // the header alone must make the client go
      return;
    }
    second = ReadRequest(conn);
    conn.Send("HTTP/1.1 200 Connection established\r\n\r\n");
    FakeServer::RunScript(conn, kPop3);
  });
  Session s;
  CMailServer settings = Through(proxy, Http, "mail.example.org");
  settings.SocksProxyUser = "bob";
  settings.SocksProxyPassword = "s3cret";
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << s.Transcript;
  s.Close();
  ASSERT_TRUE(proxy.WaitDone(2)) << proxy.Failures();

  const std::vector<std::string> request = {"CONNECT mail.example.org:4110 HTTP/1.1", "User-Agent: Plinthor Obj Client",
                                            "Host: mail.example.org:4110", "Content-Length: 0",
                                            "Proxy-Connection: Keep-Alive"};
  EXPECT_EQ(first, request);
  std::vector<std::string> authorised = request;
  authorised.push_back("Proxy-Authorization: Basic " + Base64Encode(std::string("bob:s3cret")));
  EXPECT_EQ(second, authorised);

  EXPECT_NE(s.Transcript.find("Proxy-Connection: Keep-Alive\r\nProxy-Authorization: Basic ******\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(s.Transcript.find(Base64Encode(std::string("bob:s3cret"))), std::string::npos);
  EXPECT_NE(s.Transcript.find("\r\n\r\nConnected\r\nCONNECT "), std::string::npos);  // the second connection
}

TEST(ProxyHttp, ForbiddenWithCredentialsIsRefusedAtOnce) {
  FakeServer proxy([&](FakeConnection& conn) {
    ReadRequest(conn);
    conn.Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    std::string line;
    conn.ReadLine(line, 3000);  // a second request would be recorded here
  });
  Session s;
  CMailServer settings = Through(proxy, Http);
  settings.SocksProxyUser = "bob";
  settings.SocksProxyPassword = "s3cret";
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  s.Close();
  proxy.WaitDone();
  EXPECT_EQ(s.LastResponse, "403");
  EXPECT_EQ(s.LastError,
            "Http Proxy: HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nNativeErrorCode:403\r\n");
  EXPECT_EQ(proxy.served(), 1);
  EXPECT_EQ(proxy.Received().find("Proxy-Authorization"), std::string::npos);
}

TEST(ProxyHttp, ReplyBodyIsDroppedBeforeTheGreeting) {
  // The body and the greeting come in one piece: exactly the body goes.
  FakeServer proxy([&](FakeConnection& conn) {
    ReadRequest(conn);
    conn.Send("HTTP/1.1 200 OK\r\ncontent-length: 9\r\n\r\n<b>ok</b>+OK ready\r\n");
    FakeServer::RunScript(conn, "C: USER u\nS: +OK\nC: PASS p\nS: +OK in\n");
  });
  Session s;
  CMailServer settings = Through(proxy, Http);
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << s.Transcript;
  EXPECT_NE(s.Transcript.find("Proxy-Connection: Keep-Alive\r\n\r\n+OK ready\r\nUSER u\r\n"), std::string::npos)
      << s.Transcript;
}

TEST(ProxyHttp, MalformedAndEndlessReplies) {
  struct Case {
    std::string reply;
    std::string error;
  };
  const Case cases[] = {
      {"HTTP/1.1\r\n\r\n", "Http Proxy: HTTP/1.1\r\nNativeErrorCode: 500\r\n"},
      {"HTTP/1.1 200\r\n\r\n", "Http Proxy:: HTTP/1.1 200\r\nNativeErrorCode: 500\r\n"},
      {"HTTP/1.1 2xx Fine\r\n\r\n", "Http Proxy: HTTP/1.1 2xx Fine\r\nNativeErrorCode:2\r\n"},
      // A head that never ends is cut off, not waited for or kept growing.
      {std::string(70000, 'x'), "Http Proxy: Reply head longer than 65536 bytes\r\nNativeErrorCode: 500\r\n"},
      // A proxy that closes in mid-head.
      {"HTTP/1.1 200 Connection established\r\n", "NativeErrorCode: 10060"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 30));
    FakeServer proxy([&](FakeConnection& conn) {
      ReadRequest(conn);
      conn.Send(c.reply);
      if (c.reply.size() > 1000) conn.Stall();
    });
    Session s;
    s.Timeout = 30;  // an endless head must not run into the time-out
    CMailServer settings = Through(proxy, Http);
    EXPECT_EQ(s.Connect(&settings), kMailFailure);
    EXPECT_EQ(s.LastError.rfind(c.error, 0), 0u) << s.LastError;
    s.Close();
  }
}

TEST(ProxyHttp, ProtocolOutsideTheKnownThreeFallsBackToSocks5) {
  // The settings copy turns an unknown proxy protocol into SOCKS5.
  std::string offer;
  FakeServer proxy([&](FakeConnection& conn) { conn.ReadBytes(offer, 3); });
  Session s;
  CMailServer settings = Through(proxy, 7);
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  s.Close();
  proxy.WaitDone();
  EXPECT_EQ(offer, Bytes({5, 1, 0}));
  EXPECT_NE(s.Transcript.find("ProxyProtocol: Socks5\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
