#include "mailclient/Pop3.h"

#include "mailclient/MailClient.h"
#include "platform/Files.h"
#include "tests/support/Dovecot.h"
#include "tests/support/DovecotSuite.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeServer;

CMailServer Settings(int port, std::string user = "alice", std::string password = "secret") {
  CMailServer s;
  s.Server = "127.0.0.1";
  s.Port = port;
  s.User = std::move(user);
  s.Password = std::move(password);
  return s;
}

int32_t ConnectTo(CMailClient& s, const CMailServer& settings) { return s.Connect(&settings); }

// A session with short waits, so that fault cases end quickly.
struct Session : CMailClient {
  Session() {
    Timeout = 2;
    StallWaitMs = 300;
  }
};

constexpr const char* kLogin = "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK logged in\n";

// ---------------------------------------------------------------------------
// Reply parsing without I/O

TEST(Pop3Parsing, ListingEndIsTheDotLineOnly) {
  EXPECT_TRUE(pop3::ListingComplete(".\r\n"));
  EXPECT_TRUE(pop3::ListingComplete("1 100\r\n.\r\n"));
  EXPECT_FALSE(pop3::ListingComplete(""));
  EXPECT_FALSE(pop3::ListingComplete("1 100\r\n"));
  // An id that ends in a dot does not end the reply.
  EXPECT_FALSE(pop3::ListingComplete("1 abc.\r\n"));
}

TEST(Pop3Parsing, LeadingNumber) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"120", 120}, {"  42 octets", 42}, {"", 0}, {"abc", 0},
               {"-5", -5},   {"99999999999", INT32_MAX}, {"+7", 7}};
  for (const auto& c : cases) EXPECT_EQ(pop3::LeadingNumber(c.text), c.value) << c.text;
}

TEST(Pop3Parsing, UnstuffRemovesOneDotPerLine) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"..hidden\r\nplain\r\n...two\r\n", ".hidden\r\nplain\r\n..two\r\n"},
      {"a.b\r\n", "a.b\r\n"},
      {"", ""},
      {".", ""},
      {"..", "."},
      {".\n.\n", "\n\n"},           // bare LF ends a line too
      {"a\n.b\nc", "a\nb\nc"},
      {"x\r\n.last", "x\r\nlast"},  // a last line without line end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pop3::Unstuff(c.in), c.out) << c.in;
    // In place, with the text moved to the front of its buffer on the way.
    std::string buffer = "+OK\r\n" + c.in;
    buffer.resize(pop3::UnstuffTo(buffer.data(), buffer.data() + 5, c.in.size()));
    EXPECT_EQ(buffer, c.out) << c.in;
  }
}

TEST(Pop3Parsing, RetrReaderKeepsTheLastLineEnd) {
  struct Case {
    std::string reply;
    bool complete;
    std::string message;
  } cases[] = {
      {"+OK\r\nSubject: x\r\n\r\nlast line\r\n.\r\n", true, "Subject: x\r\n\r\nlast line\r\n"},
      {"+OK\r\n.\r\n", true, ""},                                   // empty message
      {"+OK\r\n..a\r\n.\r\n", true, ".a\r\n"},
      {"+OK\r\n.x\r\n..\r\n.y\r\n.\r\n", true, "x\r\n.\r\ny\r\n"},  // first line stuffed too
      {"+OK\r\nbody\r\n", false, "body\r\n"},                       // terminator missed
      {"+OK\r\nbody\r\n.", false, "body\r\n"},                      // part of it came
      {"+OK\r\nbody\r\n.\r", false, "body\r\n"},
      {"+OK 12 octets\r\nline.\r\n", false, "line.\r\n"},           // a dot inside a line
  };
  for (const auto& c : cases) {
    pop3::RetrReader r(0);
    r.data() = c.reply;
    r.Appended();
    EXPECT_TRUE(r.Accepted());
    EXPECT_EQ(r.Complete(), c.complete) << c.reply;
    EXPECT_EQ(r.TakeMessage(), c.message) << c.reply;
  }
}

TEST(Pop3Parsing, RetrReaderFindsTheStatusLineAcrossPieces) {
  pop3::RetrReader r(10);
  for (std::string_view piece : {"+O", "K 5 oct", "ets\r", "\nhello\r\n.\r", "\n"}) {
    EXPECT_FALSE(r.Complete());
    r.Reserve(piece.size());
    r.data().append(piece);
    r.Appended();
  }
  EXPECT_TRUE(r.Complete());
  EXPECT_EQ(r.ContentLength(), 10u);
  EXPECT_EQ(r.TakeMessage(), "hello\r\n");
}

// ---------------------------------------------------------------------------
// Listing against a scripted server

struct ListCase {
  const char* name;
  std::string script;  // after the login
  bool ok;
  std::vector<std::pair<int32_t, std::string>> entries;  // size, UIDL
};

class Pop3ListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(Pop3ListTest, Listing) {
  const ListCase& c = GetParam();
  FakeServer fake(std::string(kLogin) + c.script + "C: QUIT\nS: +OK bye\n");
  Session s;
  ASSERT_EQ(ConnectTo(s, Settings(fake.port())), 0) << s.LastError;
  EXPECT_EQ(s.GetMailList() == 0, c.ok) << s.LastError;
  EXPECT_EQ(s.Listed, c.ok);
  if (c.ok) {
    ASSERT_EQ(s.Messages.size(), c.entries.size());
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
      EXPECT_EQ(s.Messages[i].Index, static_cast<int32_t>(i + 1));
      EXPECT_EQ(s.Messages[i].Size, c.entries[i].first);
      EXPECT_EQ(s.Messages[i].UIDL, c.entries[i].second);
      EXPECT_EQ(s.Messages[i].Flags, "");
    }
    // The listing is kept: a second call does not ask the server again.
    EXPECT_EQ(s.GetMailList(), 0);
    EXPECT_TRUE(s.Quit()) << s.LastError;
  } else {
    EXPECT_EQ(s.LastResponse, "-ERR");
    EXPECT_EQ(s.LastError.rfind("Mail Server: ", 0), 0u) << s.LastError;
  }
  s.Close();
  EXPECT_TRUE(fake.WaitDone());
  if (c.ok) {
    EXPECT_EQ(fake.Failures(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Pop3ListTest,
    ::testing::Values(
        ListCase{"Empty", "C: LIST\nS: +OK 0 messages\nS: .\nC: UIDL\nS: +OK\nS: .\n", true, {}},
        ListCase{"OnePieceEach",
                 "C: LIST\nR: +OK 2\\r\\n1 120\\r\\n2 200\\r\\n.\\r\\n\nC: UIDL\n"
                 "R: +OK\\r\\n1 id-a\\r\\n2 id-b\\r\\n.\\r\\n\n",
                 true, {{120, "id-a"}, {200, "id-b"}}},
        // Numbers on the lines are not used; entries count by position.
        ListCase{"PositionsNotNumbers",
                 "C: LIST\nS: +OK\nS: 7 10\nS: 9\t20\nS: .\nC: UIDL\nS: +OK\nS: 7 x\nS: 9 y\nS: .\n",
                 true, {{10, "x"}, {20, "y"}}},
        ListCase{"FewerUidlLines",
                 "C: LIST\nS: +OK\nS: 1 10\nS: 2 20\nS: 3 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: .\n",
                 true, {{10, "a"}, {20, ""}, {30, ""}}},
        ListCase{"MoreUidlLines",
                 "C: LIST\nS: +OK\nS: 1 10\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: .\n",
                 true, {{10, "a"}}},
        ListCase{"IdEndingInDot",
                 "C: LIST\nS: +OK\nS: 1 10\nS: 2 20\nS: .\nC: UIDL\nS: +OK\nS: 1 a.\nS: 2 b.\nS: .\n",
                 true, {{10, "a."}, {20, "b."}}},
        ListCase{"SizeWithoutDigits", "C: LIST\nS: +OK\nS: 1 many\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: .\n",
                 true, {{0, "a"}}},
        ListCase{"LineWithoutBlank", "C: LIST\nS: +OK\nS: 1 10\nS: 2\nS: .\n", false, {}},
        ListCase{"EmptyLine", "C: LIST\nS: +OK\nS: \nS: .\n", false, {}},
        ListCase{"ListRefused", "C: LIST\nS: -ERR not now\n", false, {}},
        ListCase{"UidlRefused", "C: LIST\nS: +OK\nS: 1 10\nS: .\nC: UIDL\nS: -ERR no UIDL\n", false, {}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Retrieve against a scripted server

CMailInfo Entry(int32_t index, int32_t size) {
  CMailInfo m;
  m.Index = index;
  m.Size = size;
  return m;
}

TEST(Pop3Retrieve, HandsOnTheMessageAsSent) {
  // S: lines are sent one by one; the body has stuffed dots and a ".." line.
  FakeServer fake(std::string(kLogin) +
                  "C: RETR 1\nS: +OK 40 octets\nS: Subject: dots\nS: \nS: ..leading dot\nS: ...\n"
                  "S: last line\nS: .\nC: QUIT\nS: +OK\n");
  Session s;
  std::vector<std::string> progress;
  s.Label = "POP3:127.0.0.1#alice";
  s.Progress = [&](const std::string& label, const std::string& text) {
    EXPECT_EQ(label, "POP3:127.0.0.1#alice");
    progress.push_back(text);
  };
  ASSERT_EQ(ConnectTo(s, Settings(fake.port())), 0) << s.LastError;
  std::string content;
  CMailInfo info = Entry(1, 40);
  ASSERT_TRUE(s.RetrieveMail(&info, content)) << s.LastError;
  EXPECT_EQ(content, "Subject: dots\r\n\r\n.leading dot\r\n..\r\nlast line\r\n");
  EXPECT_FALSE(s.Quiet);
  // The body stays out of the transcript; the size line goes in.
  EXPECT_EQ(s.Transcript.find("leading dot"), std::string::npos);
  EXPECT_NE(s.Transcript.find("[Data Stream " + std::to_string(content.size()) + "]\r\n.\r\n"),
            std::string::npos);
  ASSERT_GE(progress.size(), 4u);
  EXPECT_EQ(progress[0], "Connected");
  EXPECT_EQ(progress[1], "Authorized");
  EXPECT_EQ(progress[2], "Receiving email, Seq:1, Size:0/40 ...");
  EXPECT_EQ(progress.back().rfind("Receiving email, Seq:1, Size:", 0), 0u);
  EXPECT_TRUE(s.Quit());
  EXPECT_EQ(progress.back(), "Quiting ...");
  s.Close();
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Pop3Retrieve, StallBeforeTerminatorIsAcceptedAfterTheWait) {
  const std::string body = "Subject: s\r\n\r\nall of it\r\n";
  FakeServer fake(std::string(kLogin) + "C: RETR 1\nR: +OK\\r\\nSubject: s\\r\\n\\r\\nall of it\\r\\n\nW\n");
  Session s;
  ASSERT_EQ(ConnectTo(s, Settings(fake.port())), 0) << s.LastError;
  std::string content;
  CMailInfo info = Entry(1, static_cast<int32_t>(body.size()));
  ASSERT_TRUE(s.RetrieveMail(&info, content)) << s.LastError;
  EXPECT_EQ(content, body);
  EXPECT_NE(s.Transcript.find("[Data Stream " + std::to_string(body.size()) + "(CRLF.CRLF missed)]\r\n.\r\n"),
            std::string::npos)
      << s.Transcript;
}

TEST(Pop3Retrieve, StallMidLineAfterTheListedSizeIsWaitedOut) {
  // A server that under-reports the size and pauses inside a line is still
  // sending: the pause must not cut the message there.
  FakeServer fake([](test::FakeConnection& c) {
    std::string line;
    c.SendLine("+OK ready");
    for (const char* reply : {"+OK", "+OK logged in"}) {
      if (!c.ReadLine(line)) return;
      c.SendLine(reply);
    }
    if (!c.ReadLine(line) || line != "RETR 1") return c.Fail("expected RETR 1, got " + line);
    c.Send("+OK\r\nSubject: s\r\n\r\nfirst half");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    c.Send(" and the rest\r\n.\r\n");
    c.Stall();
  });
  Session s;
  s.StallWaitMs = 100;
  ASSERT_EQ(ConnectTo(s, Settings(fake.port())), 0) << s.LastError;
  std::string content;
  CMailInfo info = Entry(1, 5);
  ASSERT_TRUE(s.RetrieveMail(&info, content)) << s.LastError;
  EXPECT_EQ(content, "Subject: s\r\n\r\nfirst half and the rest\r\n");
  EXPECT_EQ(s.Transcript.find("(CRLF.CRLF missed)"), std::string::npos) << s.Transcript;
}

TEST(Pop3Parsing, RetrReaderDoesNotReserveAnAnnouncedHugeSize) {
  pop3::RetrReader r(INT32_MAX);
  EXPECT_LE(r.data().capacity(), (64u << 20) + 8193u);
  // It still grows with the data.
  r.Reserve(100u << 20);
  EXPECT_GE(r.data().capacity(), 100u << 20);
}

TEST(Pop3Retrieve, Failures) {
  struct Case {
    const char* name;
    std::string script;
    std::string error;     // expected start of LastError
    std::string response;  // expected LastResponse
  } cases[] = {
      {"Refused", "C: RETR 1\nS: -ERR no such message\n", "Mail Server: -ERR no such message", "-ERR"},
      {"DroppedMidMessage", "C: RETR 1\nR: +OK\\r\\nSubject: x\\r\\n\\r\\npart\nX\n", "NativeErrorCode: 10060", ""},
      {"SilentAfterStatus", "C: RETR 1\nS: +OK\nW\n", "NativeErrorCode: 10060", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer fake(std::string(kLogin) + c.script);
    Session s;
    ASSERT_EQ(ConnectTo(s, Settings(fake.port())), 0) << s.LastError;
    std::string content = "stale";
    CMailInfo info = Entry(1, 1000);
    EXPECT_FALSE(s.RetrieveMail(&info, content));
    EXPECT_TRUE(content.empty());
    EXPECT_FALSE(s.Quiet);
    EXPECT_EQ(s.LastError.rfind(c.error, 0), 0u) << s.LastError;
    EXPECT_EQ(s.LastResponse, c.response);
  }
}

// ---------------------------------------------------------------------------
// Greeting and logins

TEST(Pop3Login, ServerSilentAfterGreetingTimesOut) {
  FakeServer fake("S: +OK ready\nC: USER alice\nW\n");
  Session s;
  s.Timeout = 1;
  EXPECT_EQ(ConnectTo(s, Settings(fake.port())), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10060", 0), 0u) << s.LastError;
  EXPECT_FALSE(s.Connected);
}

TEST(Pop3Login, RefusedUserIsNeverSentThePassword) {
  FakeServer fake("S: +OK ready\nC: USER alice\nS: -ERR unknown\nC: *\n");
  Session s;
  EXPECT_EQ(ConnectTo(s, Settings(fake.port())), kMailFailure);
  EXPECT_EQ(s.LastError, "Mail Server: -ERR unknown\r\n");
  EXPECT_EQ(s.LastResponse, "-ERR unknown\r\n");
  s.Close();
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Received(), "USER alice\n");
}

TEST(Pop3Login, PasswordIsSentButNeverLogged) {
  test::TempDir dir;
  FakeServer fake("S: +OK ready\nC: USER alice\nS: +OK\nC: PASS s3cret pass\nS: +OK\n");
  Session s;
  s.LogFolder = dir.path();
  s.SetLogFileName((dir / "pop.log").c_str());
  ASSERT_EQ(ConnectTo(s, Settings(fake.port(), "alice", "s3cret pass")), 0)
      << s.LastError;
  s.Close();
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  std::string log;
  ASSERT_EQ(ReadWholeFile(dir / "pop.log", log), 0);
  EXPECT_EQ(log, s.Transcript);
  EXPECT_NE(log.find("PASS ******\r\n"), std::string::npos);
  EXPECT_NE(log.find("Password: ******\r\n"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
  EXPECT_EQ(s.Command.find("s3cret"), std::string::npos);
}

// The protocol log is kept open while the name stays; a new name gets the
// writes from then on, and every file is appended to, never truncated.
TEST(Pop3Login, ProtocolLogFollowsItsName) {
  test::TempDir dir;
  ASSERT_EQ(WriteWholeFile(dir / "a.log", "old\r\n"), 0);
  Session s;
  s.LogFolder = dir.path();
  s.SetLogFileName((dir / "a.log").c_str());
  s.WriteLog("one ");
  s.LogFileName = dir / "b.log";
  s.WriteLog("two");
  s.SetLogFileName((dir / "a.log").c_str());
  s.WriteLog("three");
  s.SetLogFileName(nullptr);
  s.WriteLog(" four");
  std::string a, b;
  ASSERT_EQ(ReadWholeFile(dir / "a.log", a), 0);
  ASSERT_EQ(ReadWholeFile(dir / "b.log", b), 0);
  EXPECT_EQ(a, "old\r\none three");
  EXPECT_EQ(b, "two");
  EXPECT_EQ(s.Transcript, "one twothree four");
}

TEST(Pop3Login, LineBreakInCredentialsIsRefusedBeforeConnecting) {
  for (auto [user, password] : {std::pair{"alice\r\nDELE 1", "x"}, std::pair{"alice", "x\nQUIT"}}) {
    FakeServer fake("S: +OK ready\nC: *\n");
    Session s;
    EXPECT_EQ(ConnectTo(s, Settings(fake.port(), user, password)), kMailFailure);
    EXPECT_NE(s.LastError.find("line break"), std::string::npos) << s.LastError;
    EXPECT_EQ(s.Transcript.find("Connecting"), std::string::npos);
    fake.Stop();
    EXPECT_EQ(fake.served(), 0);
  }
}

TEST(Pop3Login, ApopWithoutTimestampFailsClearly) {
  FakeServer fake("S: +OK ready\nC: *\n");
  Session s;
  CMailServer settings = Settings(fake.port());
  settings.AuthType = AuthCRAM5;
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError, "Mail Server: APOP is not offered, the greeting holds no timestamp: +OK ready\r\n");
  s.Close();
  fake.Stop();
  EXPECT_EQ(fake.Received(), "");
}

TEST(Pop3Login, ApopDigestCoversTimestampAndPassword) {
  // The published example: timestamp <1896.697170952@dbc.mtview.ca.us>, secret "tanstaaf".
  FakeServer fake(
      "S: +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\n"
      "C: APOP mrose c4c9334bac560ecc979e58001b3e22fb\nS: +OK maildrop has 1 message\n");
  Session s;
  CMailServer settings = Settings(fake.port(), "mrose", "tanstaaf");
  settings.AuthType = AuthCRAM5;
  EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
  s.Close();
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
}

// ---------------------------------------------------------------------------
// Against Dovecot

class Pop3Dovecot : public test::DovecotSuite<Pop3Dovecot> {};

TEST_F(Pop3Dovecot, ListRetrieveDeleteQuit) {
  ASSERT_TRUE(server_->AddUser("bob", "pw-bob"));
  const std::string first = "Subject: one\r\n\r\n.starts with a dot\r\n";
  const std::string second = "Subject: two\r\n\r\nsecond\r\n";
  server_->AddMessage("bob", first);
  server_->AddMessage("bob", second);

  Session s;
  ASSERT_EQ(ConnectTo(s, Settings(server_->pop3_port(), "bob", "pw-bob")), 0)
      << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  ASSERT_EQ(s.Messages.size(), 2u);
  EXPECT_EQ(s.Messages[0].Size, static_cast<int32_t>(first.size()));
  EXPECT_FALSE(s.Messages[0].UIDL.empty());
  EXPECT_NE(s.Messages[0].UIDL, s.Messages[1].UIDL);
  std::string content;
  ASSERT_TRUE(s.RetrieveMail(&s.Messages[0], content)) << s.LastError;
  EXPECT_EQ(content, first);
  ASSERT_TRUE(s.RetrieveMail(&s.Messages[1], content)) << s.LastError;
  EXPECT_EQ(content, second);
  EXPECT_EQ(s.DeleteMail(&s.Messages[0]), 0) << s.LastError;
  EXPECT_TRUE(s.Quit()) << s.LastError;
  s.Close();
  EXPECT_EQ(server_->MessageCount("bob"), 1u);
}

TEST_F(Pop3Dovecot, OverTls) {
  ASSERT_TRUE(server_->AddUser("dave", "pw-dave"));
  std::string big = "Subject: big\r\n\r\n";
  for (int i = 0; big.size() < 300000; ++i) big += (i % 7 == 0 ? ".line " : "line ") + std::to_string(i) + "\r\n";
  server_->AddMessage("dave", big);
  struct Case {
    const char* name;
    int port;
    int32_t type;
  } cases[] = {{"SslFromTheStart", server_->pop3s_port(), ConnectSSLAuto},
               {"UpgradeWithStls", server_->pop3_port(), ConnectTLS}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.Timeout = 30;
    CMailServer settings = Settings(c.port, "dave", "pw-dave");
    settings.SSLConnection = true;
    settings.SSLType = c.type;
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
    EXPECT_TRUE(s.Secured);
    ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
    ASSERT_EQ(s.Messages.size(), 1u);
    std::string content;
    ASSERT_TRUE(s.RetrieveMail(&s.Messages[0], content)) << s.LastError;
    EXPECT_EQ(content, big);
    EXPECT_EQ(s.Transcript.find("(CRLF.CRLF missed)"), std::string::npos);
    EXPECT_EQ(s.Transcript.find("pw-dave"), std::string::npos);
    EXPECT_TRUE(s.Quit()) << s.LastError;
  }
}

TEST_F(Pop3Dovecot, Logins) {
  ASSERT_TRUE(server_->AddUser("carol", "pw-carol"));
  struct Case {
    int32_t auth;
    const char* password;
    bool ok;
  } cases[] = {{AuthLogin, "pw-carol", true}, {AuthCRAM5, "pw-carol", true}, {5, "pw-carol", true},
               {AuthLogin, "wrong", false},   {AuthCRAM5, "wrong", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.auth) + " " + c.password);
    Session s;
    s.Timeout = 30;  // a refused login is answered after a short delay
    CMailServer settings = Settings(server_->pop3_port(), "carol", c.password);
    settings.AuthType = c.auth;
    EXPECT_EQ(s.Connect(&settings) == 0, c.ok) << s.LastError;
    if (!c.ok) {
      EXPECT_EQ(s.LastError.rfind("Mail Server: -ERR", 0), 0u) << s.LastError;
      EXPECT_EQ(s.LastResponse.rfind("-ERR", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace tarnwick
