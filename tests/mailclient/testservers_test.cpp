// The test servers themselves: the private Dovecot instance and the scripted
// fake server, spoken to over plain sockets.
#include "tests/support/Dovecot.h"
#include "tests/support/FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace tarnwick::test {
namespace {

// A minimal blocking line client for talking to the servers under test.
class LineClient {
 public:
  explicit LineClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~LineClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& s) { ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
  // One line with its CR LF; empty when closed or silent for 5 s.
  std::string Line() {
    std::size_t lf;
    while ((lf = buf_.find('\n')) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return {};
      char b[4096];
      ssize_t n = ::recv(fd_, b, sizeof b, 0);
      if (n <= 0) return {};
      buf_.append(b, std::size_t(n));
    }
    std::string line = buf_.substr(0, lf + 1);
    buf_.erase(0, lf + 1);
    return line;
  }
  // Lines up to and including the one that starts with prefix.
  std::string Until(const std::string& prefix) {
    std::string all, line;
    do {
      line = Line();
      all += line;
    } while (!line.empty() && line.rfind(prefix, 0) != 0);
    return all;
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

TEST(DovecotFixture, ServesPop3AndImap4FromItsMaildir) {
  Dovecot dc;
  std::string error;
  ASSERT_TRUE(dc.Start(&error)) << error;
  ASSERT_TRUE(dc.AddUser("alice", "se\"cr et"));
  std::string raw = "Subject: one\r\n\r\nbody\r\n";
  ASSERT_FALSE(dc.AddMessage("alice", raw).empty());
  ASSERT_FALSE(dc.AddMessage("alice", "Subject: two\r\n\r\nx\r\n").empty());
  EXPECT_EQ(dc.MessageCount("alice"), 2u);

  {
    LineClient c(dc.pop3_port());
    ASSERT_TRUE(c.ok());
    std::string greeting = c.Line();
    EXPECT_EQ(greeting.rfind("+OK", 0), 0u) << greeting;
    EXPECT_NE(greeting.find('<'), std::string::npos) << "APOP timestamp missing: " << greeting;
    c.Send("USER alice\r\n");
    EXPECT_EQ(c.Line().rfind("+OK", 0), 0u);
    c.Send("PASS se\"cr et\r\n");
    EXPECT_EQ(c.Line().rfind("+OK", 0), 0u) << dc.Log();
    c.Send("RETR 1\r\n");
    std::string reply = c.Until(".\r\n");
    EXPECT_NE(reply.find("Subject: one"), std::string::npos) << reply;
    c.Send("DELE 1\r\nQUIT\r\n");
    c.Until("+OK Logging out");
  }
  EXPECT_EQ(dc.MessageCount("alice"), 1u);
  ASSERT_EQ(dc.ListMessages("alice").size(), 1u);
  EXPECT_NE(dc.ListMessages("alice")[0].find("Subject: two"), std::string::npos);

  ASSERT_FALSE(dc.AddMessage("alice", "Subject: sub\r\n\r\n", "Archive").empty());
  LineClient c(dc.imap_port());
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.Line().rfind("* OK", 0), 0u);
  c.Send("a LOGIN alice \"se\\\"cr et\"\r\n");
  EXPECT_NE(c.Until("a ").find("a OK"), std::string::npos);
  c.Send("b SELECT Archive\r\n");
  std::string sel = c.Until("b ");
  EXPECT_NE(sel.find(" 1 EXISTS"), std::string::npos) << sel;
  c.Send("c STORE 1 +FLAGS.SILENT (\\Deleted)\r\n");
  c.Until("c ");
  EXPECT_EQ(dc.FlaggedDeleted("alice", "Archive"), 1u);
  c.Send("d LOGOUT\r\n");
  c.Until("d ");

  std::string dir = dc.dir();
  dc.Stop();
  EXPECT_FALSE(dc.running());
  EXPECT_NE(::access(dir.c_str(), F_OK), 0) << "folder left behind";
}

TEST(DovecotFixture, WrongPasswordIsRefused) {
  Dovecot dc;
  std::string error;
  ASSERT_TRUE(dc.Start(&error)) << error;
  ASSERT_TRUE(dc.AddUser("bob", "right"));
  LineClient c(dc.pop3_port());
  c.Line();
  c.Send("USER bob\r\nPASS wrong\r\n");
  c.Line();
  EXPECT_EQ(c.Line().rfind("-ERR", 0), 0u);
  EXPECT_NE(dc.Log().find("bob"), std::string::npos);
}

TEST(FakeServer, FollowsItsScriptAndReportsMismatches) {
  FakeServer fake("S: +OK hello\nC: USER alice\nR: +OK go\\r\\n\nC: PASS x\nS: -ERR no\nX\n");
  {
    LineClient c(fake.port());
    EXPECT_EQ(c.Line(), "+OK hello\r\n");
    c.Send("USER alice\r\n");
    EXPECT_EQ(c.Line(), "+OK go\r\n");
    c.Send("PASS y\r\n");
    EXPECT_EQ(c.Line(), "") << "a mismatch must close the connection";
  }
  ASSERT_TRUE(fake.WaitDone());
  EXPECT_NE(fake.Failures().find("client sent \"PASS y\""), std::string::npos) << fake.Failures();
  EXPECT_EQ(fake.Received(), "USER alice\nPASS y\n");
}

TEST(FakeServer, StallHoldsTheConnectionUntilStopped) {
  FakeServer fake("S: +OK hello\nW\n");
  LineClient c(fake.port());
  EXPECT_EQ(c.Line(), "+OK hello\r\n");
  fake.Stop();  // wakes the stalled connection; must not hang
  EXPECT_EQ(fake.served(), 1);
  EXPECT_EQ(fake.Failures(), "");
}

}  // namespace
}  // namespace tarnwick::test
