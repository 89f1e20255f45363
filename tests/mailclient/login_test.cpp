// Every login mechanism on both protocols, over a plain connection, TLS from
// the start and the upgrade command: the real server where Debian has one,
// a scripted front for NTLM and for the faults.
#include "mailclient/NtlmLogin.h"

#include "mailclient/Auth.h"
#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "tests/support/Dovecot.h"
#include "tests/support/FakeServer.h"
#include "tests/support/NtlmServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeConnection;
using test::FakeServer;

enum class Transport { Plain, Implicit, Upgrade };

const char* Name(Transport t) {
  switch (t) {
    case Transport::Plain: return "Plain";
    case Transport::Implicit: return "Implicit";
    default: return "Upgrade";
  }
}

struct Session : CMailClient {
  Session() { Timeout = 10; }
  std::vector<std::string> progress;
  void Track() {
    Progress = [this](const std::string&, const std::string& text) { progress.push_back(text); };
  }
  bool Reported(const std::string& text) const {
    return std::find(progress.begin(), progress.end(), text) != progress.end();
  }
};

class LoginDovecot : public ::testing::TestWithParam<std::tuple<int32_t, int32_t, Transport>> {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<Dovecot>();
    if (!server_->Start(&start_error_)) {
      server_.reset();
      return;
    }
    server_->AddUser("carol", "c\"a r\\ol pw");
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "Dovecot did not start: " << start_error_;
  }

  CMailServer Settings(const std::string& password = "c\"a r\\ol pw") const {
    auto [protocol, authType, transport] = GetParam();
    CMailServer s;
    s.Server = "localhost";
    s.User = "carol";
    s.Password = password;
    s.Protocol = protocol;
    s.AuthType = authType;
    bool imap = protocol == Imap4;
    switch (transport) {
      case Transport::Plain:
        s.Port = imap ? server_->imap_port() : server_->pop3_port();
        break;
      case Transport::Implicit:  // not the plain port: automatic mode speaks TLS at once
        s.Port = imap ? server_->imaps_port() : server_->pop3s_port();
        s.SSLConnection = true;
        break;
      case Transport::Upgrade:
        s.Port = imap ? server_->imap_port() : server_->pop3_port();
        s.SSLConnection = true;
        s.SSLType = ConnectTLS;
        break;
    }
    return s;
  }

  static std::unique_ptr<Dovecot> server_;
  static std::string start_error_;
};
std::unique_ptr<Dovecot> LoginDovecot::server_;
std::string LoginDovecot::start_error_;

TEST_P(LoginDovecot, LogsInListsAndFetches) {
  auto [protocol, authType, transport] = GetParam();
  const std::string message = "Subject: login " + std::to_string(protocol) + "\r\n\r\nbody\r\n";
  ASSERT_FALSE(server_->AddMessage("carol", message).empty());

  Session s;
  s.Track();
  CMailServer settings = Settings();
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << "\n" << s.Transcript << server_->Log();
  EXPECT_TRUE(s.Reported("Authorized"));
  EXPECT_EQ(s.Secured, transport != Transport::Plain);
  EXPECT_EQ(s.Reported("OnSecuring ..."), transport != Transport::Plain);
  if (transport != Transport::Plain) {
    EXPECT_NE(s.Transcript.find("_CreateCredentials for SSL connection\r\n"
                                "_ClientHandshake for SSL connection\r\n"
                                "_ClientHandshakeLoop for SSL connection\r\n"),
              std::string::npos);
  }
  if (transport == Transport::Upgrade) {
    EXPECT_NE(s.Transcript.find(protocol == Imap4 ? "A0001 STARTTLS\r\n" : "STLS\r\n"),
              std::string::npos);
  }
  if (authType == AuthCRAM5) {
    // The digest would allow offline guessing: only its mask is logged.
    const std::string masked = protocol == Imap4 ? "\r\n******\r\n" : "APOP carol ******\r\n";
    if (protocol == Imap4) {
      EXPECT_NE(s.Transcript.find(" AUTHENTICATE CRAM-MD5\r\n"), std::string::npos);
    }
    EXPECT_NE(s.Transcript.find(masked), std::string::npos) << s.Transcript;
  }
  EXPECT_EQ(s.Transcript.find("r\\ol pw"), std::string::npos) << "password in the log";

  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  ASSERT_FALSE(s.Messages.empty());
  std::string content;
  ASSERT_TRUE(s.RetrieveMail(&s.Messages.back(), content)) << s.LastError;
  EXPECT_EQ(content, message);
  ASSERT_EQ(s.DeleteMail(&s.Messages.back()), 0) << s.LastError;
  ASSERT_TRUE(s.Quit()) << s.LastError;
  EXPECT_TRUE(s.Reported("Quiting ..."));
}

TEST_P(LoginDovecot, WrongPasswordGivesTheServersRefusal) {
  auto [protocol, authType, transport] = GetParam();
  Session s;
  CMailServer settings = Settings("wrong");
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_EQ(s.LastError.rfind("Mail Server: ", 0), 0u) << s.LastError;
  EXPECT_NE(s.LastError.find("uthentication failed"), std::string::npos) << s.LastError;
  if (protocol == Imap4) {
    EXPECT_EQ(s.LastResponse, "NO");
  } else {
    EXPECT_EQ(s.LastResponse.rfind("-ERR", 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllMechanisms, LoginDovecot,
    ::testing::Combine(::testing::Values(Pop3, Imap4), ::testing::Values(AuthLogin, AuthCRAM5),
                       ::testing::Values(Transport::Plain, Transport::Implicit, Transport::Upgrade)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == Imap4 ? "Imap4" : "Pop3") +
             (std::get<1>(info.param) == AuthCRAM5 ? "Digest" : "Login") + Name(std::get<2>(info.param));
    });

// ---------------------------------------------------------------------------
// NTLM against a front that checks the NTLMv2 response with the plaintext
// password, as the server's domain controller would.

struct NtlmFront {
  bool imap = true;
  bool tls = false;
  std::string user = "alice";
  std::string domain = "CORP";
  std::string password = "s3cr\xc3\xa9t pw";
  bool verified = false;

  bool Expect(FakeConnection& c, const std::string& want, std::string* got = nullptr) {
    std::string line;
    if (!c.ReadLine(line)) {
      c.Fail("client silent, expected " + want);
      return false;
    }
    if (got) {
      *got = line;
      return true;
    }
    if (line != want) {
      c.Fail("expected \"" + want + "\", got \"" + line + "\"");
      return false;
    }
    return true;
  }

  bool Verify(FakeConnection& c, const std::string& line, const std::array<std::uint8_t, 8>& sc) {
    std::string why;
    if (test::NtlmAnswerMatches(Base64Decode(line), user, domain, password, sc, true, why)) return true;
    if (why != "wrong proof") c.Fail(why);
    return false;
  }

  void operator()(FakeConnection& c) {
    if (tls && !c.StartTls()) return c.Fail("TLS handshake failed");
    std::string line;
    if (imap) {
      c.SendLine("* OK front ready");
      if (!Expect(c, "A0001 AUTHENTICATE NTLM")) return;
    } else {
      c.SendLine("+OK front ready");
      if (!Expect(c, "AUTH")) return;
      c.Send("+OK mechanisms\r\nNTLM\r\n.\r\n");  // list and status line in one piece
      if (!Expect(c, "AUTH NTLM")) return;
    }
    c.SendLine("+ ");
    if (!Expect(c, "", &line)) return;
    auto negotiate = Base64Decode(line);
    if (negotiate.size() < 12 || negotiate[8] != 1) return c.Fail("not a negotiate message");
    std::array<std::uint8_t, 8> sc = {0x13, 0x37, 0xc0, 0xde, 0x01, 0x02, 0x03, 0x04};
    c.SendLine("+ " + Base64Encode(test::NtlmChallengeMessage(sc, "CORP")));
    if (!Expect(c, "", &line)) return;
    verified = Verify(c, line, sc);
    if (!imap) {
      c.SendLine(verified ? "+OK welcome" : "-ERR [AUTH] bad credentials");
    } else if (!verified) {
      c.SendLine("A0001 NO [AUTHENTICATIONFAILED] bad credentials");
    } else {
      c.SendLine("A0001 OK welcome");
      if (!Expect(c, "A0002 LIST \"\" \"\"")) return;
      c.SendLine("* LIST (\\Noselect) \"/\" \"\"");
      c.SendLine("A0002 OK done");
    }
    c.Stall();
  }
};

class LoginNtlm : public ::testing::TestWithParam<std::tuple<int32_t, bool>> {};

TEST_P(LoginNtlm, ResponseProvesThePassword) {
  auto [protocol, tls] = GetParam();
  for (std::string user : {"CORP\\alice", "alice@CORP", "CORP/alice"}) {
    NtlmFront front;
    front.imap = protocol == Imap4;
    front.tls = tls;
    bool verified = false;
    FakeServer fake([&front, &verified](FakeConnection& c) {
      front(c);
      verified = front.verified;
    });
    Session s;
    CMailServer settings;
    settings.Server = "127.0.0.1";
    settings.Port = fake.port();
    settings.Protocol = protocol;
    settings.AuthType = AuthNTLM;
    settings.SSLConnection = tls;
    settings.User = user;
    settings.Password = front.password;
    EXPECT_EQ(s.Connect(&settings), 0) << user << ": " << s.LastError << fake.Failures();
    // The negotiate token is logged; the authenticate token is masked.
    EXPECT_NE(s.Transcript.find("TlRMTVNTUAAB"), std::string::npos);
    EXPECT_EQ(s.Transcript.find("TlRMTVNTUAAD"), std::string::npos) << s.Transcript;
    EXPECT_NE(s.Transcript.find("\r\n******\r\n"), std::string::npos);
    s.Close();
    fake.Stop();
    EXPECT_TRUE(verified) << user;
    EXPECT_EQ(fake.Failures(), "");
  }
}

TEST_P(LoginNtlm, WrongPasswordIsRefused) {
  auto [protocol, tls] = GetParam();
  NtlmFront front;
  front.imap = protocol == Imap4;
  front.tls = tls;
  FakeServer fake([&front](FakeConnection& c) { front(c); });
  Session s;
  CMailServer settings;
  settings.Server = "127.0.0.1";
  settings.Port = fake.port();
  settings.Protocol = protocol;
  settings.AuthType = AuthNTLM;
  settings.SSLConnection = tls;
  settings.User = "CORP\\alice";
  settings.Password = "not it";
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_NE(s.LastError.find("bad credentials"), std::string::npos) << s.LastError;
  EXPECT_EQ(s.LastError.rfind("Mail Server: ", 0), 0u);
  EXPECT_EQ(s.LastResponse, protocol == Imap4 ? "NO" : "-ERR [AUTH] bad credentials\r\n");
}

INSTANTIATE_TEST_SUITE_P(BothProtocols, LoginNtlm,
                         ::testing::Combine(::testing::Values(Pop3, Imap4), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Imap4 ? "Imap4" : "Pop3") +
                                  (std::get<1>(info.param) ? "Tls" : "Plain");
                         });

// ---------------------------------------------------------------------------
// Faults

CMailServer FakeSettings(int port, int32_t protocol, int32_t authType) {
  CMailServer s;
  s.Server = "127.0.0.1";
  s.Port = port;
  s.User = "alice";
  s.Password = "secret";
  s.Protocol = protocol;
  s.AuthType = authType;
  return s;
}

TEST(LoginFaults, CramMd5RefusedByTaggedLineFailsAtOnce) {
  // The session's time-out is long: only recognising the tagged refusal
  // ends this quickly and with the server's text.
  FakeServer fake(
      "S: * OK ready\n"
      "C: A0001 AUTHENTICATE CRAM-MD5\n"
      "S: * CAPABILITY IMAP4rev1\n"
      "S: A0001 NO [CANNOT] mechanism not supported\n"
      "W\n");
  Session s;
  s.Timeout = 600;
  CMailServer settings = FakeSettings(fake.port(), Imap4, AuthCRAM5);
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_EQ(s.LastResponse, "NO");
  EXPECT_EQ(s.LastError.rfind("Mail Server: ", 0), 0u);
  EXPECT_NE(s.LastError.find("A0001 NO [CANNOT] mechanism not supported\r\n"), std::string::npos)
      << s.LastError;
}

TEST(LoginFaults, CramMd5ResponseIsOneLine) {
  std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  FakeServer fake("S: * OK ready\n"
                  "C: A0001 AUTHENTICATE CRAM-MD5\n"
                  "S: + " + Base64Encode(challenge) + "\n"
                  "C: " + auth::CramMd5Response("alice", "secret", std::vector<std::uint8_t>(challenge.begin(), challenge.end())) + "\n"
                  "S: A0001 OK in\n"
                  "C: A0002 LIST \"\" \"\"\n"
                  "S: * LIST () \"/\" \"\"\n"
                  "S: A0002 OK\n"
                  "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port(), Imap4, AuthCRAM5);
  EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
  s.Close();
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(LoginFaults, LoginWithEightBitUserSendsLiterals) {
  FakeServer fake(
      "S: * OK ready\n"
      "C: A0001 LOGIN {5}\n"
      "S: + go ahead\n"
      "C: j\xc3\xb6rg \"secret\"\n"
      "S: A0001 OK in\n"
      "C: A0002 LIST \"\" \"\"\n"
      "S: * LIST () \"/\" \"\"\n"
      "S: A0002 OK\n"
      "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port(), Imap4, AuthLogin);
  settings.User = "j\xc3\xb6rg";
  EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
  s.Close();
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(LoginFaults, SilentServerAfterTheHandshakeTimesOut) {
  for (int32_t protocol : {Pop3, Imap4}) {
    FakeServer fake("T\nW\n");
    Session s;
    s.Timeout = 1;  // the session's wait, shortened for the test
    CMailServer settings = FakeSettings(fake.port(), protocol, AuthLogin);
    settings.SSLConnection = true;  // not the plain port: TLS at once
    EXPECT_NE(s.Connect(&settings), 0);
    EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10060", 0), 0u) << s.LastError;
    EXPECT_NE(s.Transcript.find("_ClientHandshakeLoop for SSL connection\r\n"), std::string::npos);
    EXPECT_TRUE(s.Secured);
  }
}

TEST(LoginFaults, ForgedRecordAfterTheHandshakeFailsWithTheLibraryReason) {
  FakeServer fake([](FakeConnection& c) {
    if (!c.StartTls()) return c.Fail("TLS handshake failed");
    c.SendLine("+OK ready");
    std::string line;
    if (!c.ReadLine(line)) return;
    // An application data record that does not decrypt.
    c.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x'));
    c.Stall();
  });
  Session s;
  s.Timeout = 5;
  CMailServer settings = FakeSettings(fake.port(), Pop3, AuthLogin);
  settings.SSLConnection = true;
  EXPECT_NE(s.Connect(&settings), 0);
  // The code, "SSL" and the library's reason, as the handshake's failures read.
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: ", 0), 0u) << s.LastError;
  EXPECT_NE(s.LastError.find(" SSLdecryption failed or bad record mac\r\n"), std::string::npos)
      << s.LastError;
  s.Close();
  fake.Stop();
}

TEST(LoginFaults, HandshakeWithAServerThatSpeaksNoTls) {
  FakeServer fake("S: +OK plain text only\nW\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port(), Pop3, AuthLogin);
  settings.SSLConnection = true;
  settings.SSLType = ConnectSSL;
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: ", 0), 0u) << s.LastError;
  EXPECT_NE(s.LastError.find(" SSL"), std::string::npos) << s.LastError;
  EXPECT_FALSE(s.Secured);
}

TEST(LoginFaults, UpgradeRefused) {
  FakeServer fake("S: * OK ready\nC: A0001 STARTTLS\nS: A0001 BAD not here\nW\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port(), Imap4, AuthLogin);
  settings.SSLConnection = true;
  settings.SSLType = ConnectTLS;
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_EQ(s.LastResponse, "BAD");
  EXPECT_EQ(s.LastError, "Mail Server: A0001 BAD not here\r\n");
}

TEST(LoginFaults, NtlmChallengeThatIsNotNtlm) {
  FakeServer fake(
      "S: * OK ready\n"
      "C: A0001 AUTHENTICATE NTLM\n"
      "S: +\n"
      "C: *\n"
      "S: + " + Base64Encode("garbage, not a challenge") + "\n"
      "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port(), Imap4, AuthNTLM);
  EXPECT_NE(s.Connect(&settings), 0);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: -2146893048 NTLM", 0), 0u) << s.LastError;
}

}  // namespace
}  // namespace tarnwick
