#include "mailclient/MailClient.h"

#include "platform/Socket.h"
#include "tests/support/FakeServer.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

using test::FakeServer;

CMailServer Settings(int port) {
  CMailServer s;
  s.Server = "127.0.0.1";
  s.Port = port;
  s.User = "alice";
  s.Password = "secret";
  return s;
}

TEST(SessionSettings, DescriptionMasksPasswords) {
  CMailServer s;
  s.Server = "mail.example.org";
  s.Port = 995;
  s.User = "ann";
  s.Password = "pw";
  s.AuthType = AuthNTLM;
  s.SSLConnection = true;
  s.SSLType = ConnectTLS;
  s.Protocol = Imap4;
  s.SocksProxyPassword = "proxy-pw";
  s.ProxyProtocol = Http;
  EXPECT_EQ(DescribeSettings(s),
            "Server: mail.example.org\r\nPort: 995\r\nAuthType: AuthNTLM\r\nUser: ann\r\n"
            "Password: ******\r\nSSLConnection: True\r\nSSLType: ConnectTLS\r\nProtocol: Imap4\r\n"
            "SocksProxyServer: \r\nSocksProxyPort: 1080\r\nSocksProxyUser: \r\n"
            "SocksProxyPassword: ******\r\nProxyProtocol: Http\r\n");
  CMailServer empty;
  EXPECT_NE(DescribeSettings(empty).find("\r\nPassword: \r\n"), std::string::npos);
  EXPECT_NE(DescribeSettings(empty).find("\r\nSocksProxyPassword: \r\n"), std::string::npos);
}

TEST(SessionSettings, Normalisation) {
  CMailServer in;
  in.Port = -1;
  in.AuthType = 7;
  in.Protocol = 9;
  in.ProxyProtocol = 9;
  in.SSLType = 3;
  in.SocksProxyPort = -5;
  in.LocalUser = "u";
  in.DistributeType = 1;
  CMailServer s = NormaliseSettings(in);
  EXPECT_EQ(s.Port, 110);
  EXPECT_EQ(s.AuthType, AuthLogin);
  EXPECT_EQ(s.Protocol, Pop3);
  EXPECT_EQ(s.ProxyProtocol, Socks5);
  EXPECT_EQ(s.SSLType, ConnectSSLAuto);
  EXPECT_EQ(s.SocksProxyPort, 1080);
  EXPECT_EQ(s.LocalUser, "");
  EXPECT_EQ(s.DistributeType, 0);
}

TEST(Session, ArgumentsAndPreconditions) {
  CMailClient s;
  EXPECT_EQ(s.Connect(nullptr), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 87 Connect [oServer]", 0), 0u) << s.LastError;
  EXPECT_EQ(s.LastError.substr(s.LastError.size() - 2), "\r\n");
  EXPECT_EQ(s.GetMailList(), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10057", 0), 0u);
  CMailInfo info;
  EXPECT_EQ(s.DeleteMail(&info), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10057", 0), 0u);
  std::string content;
  EXPECT_FALSE(s.RetrieveMail(&info, content));
}

TEST(Session, TranscriptStartsWithDateAndSettings) {
  FakeServer fake("S: +OK hi\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n");
  CMailClient s;
  s.Transcript = "left over";
  CMailServer settings = Settings(fake.port());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(s.Transcript.rfind("\r\n", 0), 0u);
  const std::string description = DescribeSettings(NormaliseSettings(settings));
  const std::size_t at = s.Transcript.find(description);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(s.Transcript.substr(at + description.size()),
            "\r\nConnecting 127.0.0.1 " + std::to_string(fake.port()) +
                "\r\nConnected\r\n+OK hi\r\nUSER alice\r\n+OK\r\nPASS ******\r\n+OK\r\n");
  EXPECT_EQ(s.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(s.LocalAddress(), "127.0.0.1");
}

TEST(Session, RefusedConnection) {
  // A port that was free a moment ago: nothing listens there.
  int port;
  {
    FakeServer probe("X\n");
    port = probe.port();
  }
  CMailClient s;
  CMailServer settings = Settings(port);
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10061", 0), 0u) << s.LastError;
  EXPECT_FALSE(s.IsUsable());
}

TEST(Session, UnknownHost) {
  CMailClient s;
  CMailServer settings = Settings(110);
  settings.Server = "no-such-host.invalid";
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 1100", 0), 0u) << s.LastError;
}

TEST(Session, LaterAddressIsTriedAfterARefusal) {
  // "localhost" may name ::1 and 127.0.0.1; the fake server listens on the
  // second only, so the first refuses.
  std::vector<SocketAddress> addresses;
  ASSERT_EQ(ResolveHost("localhost", 110, addresses), 0);
  if (addresses.size() < 2 || NumericHost(addresses.front()) == "127.0.0.1")
    GTEST_SKIP() << "localhost does not resolve to another address before 127.0.0.1";
  FakeServer fake("S: +OK hi\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n");
  CMailClient s;
  CMailServer settings = Settings(fake.port());
  settings.Server = "localhost";
  EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_EQ(s.LastError.rfind("NativeErrorCode: 10061", 0), 0u) << s.LastError;
}

TEST(Session, GreetingRefusedAndConnectionClosed) {
  struct Case {
    const char* script;
    const char* error;
  } cases[] = {{"S: -ERR go away\n", "Mail Server: -ERR go away\r\n"},
               {"X\n", "NativeErrorCode: 10060"}};
  for (const auto& c : cases) {
    FakeServer fake(c.script);
    CMailClient s;
    s.Timeout = 2;
    CMailServer settings = Settings(fake.port());
    EXPECT_EQ(s.Connect(&settings), kMailFailure);
    EXPECT_EQ(s.LastError.rfind(c.error, 0), 0u) << s.LastError;
  }
}

TEST(Session, ExchangeProtocolWithoutClientFails) {
  CMailClient s;
  CMailServer settings = Settings(1);
  settings.Protocol = ExchangeEws;
  if (MakeMailProtocol(ExchangeEws)) GTEST_SKIP() << "an EWS client is registered";
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_NE(s.LastError.find("Exchange Web Service"), std::string::npos) << s.LastError;
}

}  // namespace
}  // namespace tarnwick
