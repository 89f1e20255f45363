// Sessions through real proxies (dante, microsocks, tinyproxy, squid) to
// the tests' private Dovecot: POP3 and IMAP4, plain and TLS, each message
// fetched byte for byte, and the server's log showing the login coming from
// the proxy's outgoing address. Every proxy is started once for the suite.
#include "mailclient/MailClient.h"

#include "message/Encoding.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Proxies.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::ProxyServer;
using test::SystemUser;

enum class Via { DanteSocks4, DanteSocks5, DanteSocks5Login, MicrosocksLogin, Tinyproxy, TinyproxyBasic, SquidBasic, SquidNtlm };

const char* Name(Via v) {
  switch (v) {
    case Via::DanteSocks4: return "DanteSocks4";
    case Via::DanteSocks5: return "DanteSocks5";
    case Via::DanteSocks5Login: return "DanteSocks5Login";
    case Via::MicrosocksLogin: return "MicrosocksLogin";
    case Via::Tinyproxy: return "Tinyproxy";
    case Via::TinyproxyBasic: return "TinyproxyBasic";
    case Via::SquidBasic: return "SquidBasic";
    default: return "SquidNtlm";
  }
}

constexpr const char* kProxyUser = "twproxy";
constexpr const char* kProxyPassword = "Pr0xy-pw";

class ProxyReal : public ::testing::TestWithParam<Via> {
 protected:
  static void SetUpTestSuite() {
    dovecot_ = std::make_unique<Dovecot>();
    if (!dovecot_->Start(&error_)) dovecot_.reset();
  }
  static void TearDownTestSuite() {
    proxies_.clear();
    systemUser_.reset();
    dovecot_.reset();
  }
  // The case's proxy; the login through dante is skipped where no system
  // account can be made, a proxy that does not start fails the test.
  void SetUp() override {
    if (!dovecot_) GTEST_SKIP() << "Dovecot did not start: " << error_;
    std::string why;
    proxy_ = ProxyFor(GetParam(), why);
    if (!proxy_ && GetParam() == Via::DanteSocks5Login) GTEST_SKIP() << why;
    ASSERT_TRUE(proxy_) << Name(GetParam()) << " did not start: " << why;
  }

  // The proxy serving v, started at its first use and kept for the rest of
  // the suite (one dante serves the three SOCKS cases). Null with the
  // reason in why when it could not start.
  static ProxyServer* ProxyFor(Via v, std::string& why) {
    if (v == Via::DanteSocks5Login) {
      // dante checks its user names against the system's accounts.
      if (!systemUser_)
        systemUser_ = std::make_unique<SystemUser>(kProxyUser + std::to_string(::getpid() % 100000), kProxyPassword);
      if (!systemUser_->ok()) {
        why = "no throwaway system account (needs root, useradd and chpasswd)";
        return nullptr;
      }
    }
    const Via key = v == Via::DanteSocks4 || v == Via::DanteSocks5Login ? Via::DanteSocks5 : v;
    std::unique_ptr<ProxyServer>& proxy = proxies_[key];
    if (!proxy) {
      switch (key) {
        case Via::MicrosocksLogin:
          proxy = std::make_unique<ProxyServer>(ProxyServer::Microsocks(kProxyUser, kProxyPassword));
          break;
        case Via::Tinyproxy: proxy = std::make_unique<ProxyServer>(ProxyServer::Tinyproxy()); break;
        case Via::TinyproxyBasic:
          proxy = std::make_unique<ProxyServer>(ProxyServer::Tinyproxy(kProxyUser, kProxyPassword));
          break;
        case Via::SquidBasic:
          proxy = std::make_unique<ProxyServer>(ProxyServer::SquidBasic(kProxyUser, kProxyPassword));
          break;
        case Via::SquidNtlm: proxy = std::make_unique<ProxyServer>(ProxyServer::SquidNtlm()); break;
        default: proxy = std::make_unique<ProxyServer>(ProxyServer::Dante()); break;
      }
    }
    if (!proxy->running() && !proxy->Start(&why)) return nullptr;
    return proxy.get();
  }

  CMailServer Settings(Via v, const ProxyServer& proxy, bool imap, bool tls) const {
    CMailServer s;
    s.Server = "127.0.0.1";
    s.Protocol = imap ? Imap4 : Pop3;
    s.Port = tls ? (imap ? dovecot_->imaps_port() : dovecot_->pop3s_port())
                 : (imap ? dovecot_->imap_port() : dovecot_->pop3_port());
    s.SSLConnection = tls;
    s.SocksProxyServer = "127.0.0.1";
    s.SocksProxyPort = proxy.port();
    switch (v) {
      case Via::DanteSocks4: s.ProxyProtocol = Socks4; break;
      case Via::DanteSocks5: s.ProxyProtocol = Socks5; break;
      case Via::DanteSocks5Login:
        s.ProxyProtocol = Socks5;
        s.SocksProxyUser = systemUser_->name();
        s.SocksProxyPassword = kProxyPassword;
        break;
      case Via::MicrosocksLogin:
        s.ProxyProtocol = Socks5;
        s.SocksProxyUser = kProxyUser;
        s.SocksProxyPassword = kProxyPassword;
        break;
      case Via::Tinyproxy: s.ProxyProtocol = Http; break;
      case Via::SquidNtlm:
        s.ProxyProtocol = Http;
        s.SocksProxyUser = "CORP\\twproxy";
        s.SocksProxyPassword = kProxyPassword;
        break;
      default:
        s.ProxyProtocol = Http;
        s.SocksProxyUser = kProxyUser;
        s.SocksProxyPassword = kProxyPassword;
        break;
    }
    return s;
  }

  // Waits for Dovecot's log line of user's login and returns it.
  static std::string LoginLine(const std::string& user) {
    for (int i = 0; i < 100; ++i) {
      std::ifstream f(dovecot_->dir() + "/dovecot.log");
      std::string line;
      while (std::getline(f, line))
        if (line.find("Login: user=<" + user + ">") != std::string::npos) return line;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
  }

  ProxyServer* proxy_ = nullptr;
  static std::unique_ptr<Dovecot> dovecot_;
  static std::unique_ptr<SystemUser> systemUser_;
  static std::map<Via, std::unique_ptr<ProxyServer>> proxies_;
  static std::string error_;
};
std::unique_ptr<Dovecot> ProxyReal::dovecot_;
std::unique_ptr<SystemUser> ProxyReal::systemUser_;
std::map<Via, std::unique_ptr<ProxyServer>> ProxyReal::proxies_;
std::string ProxyReal::error_;

const Via kAll[] = {Via::DanteSocks4, Via::DanteSocks5,    Via::DanteSocks5Login, Via::MicrosocksLogin,
                    Via::Tinyproxy,   Via::TinyproxyBasic, Via::SquidBasic,       Via::SquidNtlm};

TEST_P(ProxyReal, PullsPop3AndImap4PlainAndTls) {
  const Via via = GetParam();
  ProxyServer* proxy = proxy_;
  int n = 0;
  {
    for (bool imap : {false, true}) {
      for (bool tls : {false, true}) {
        SCOPED_TRACE(std::string(Name(via)) + (imap ? " IMAP4" : " POP3") + (tls ? " TLS" : " plain"));
        // The server takes user names in lower case.
        const std::string user = "via" + std::to_string(static_cast<int>(via)) + "n" + std::to_string(++n);
        ASSERT_TRUE(dovecot_->AddUser(user, "pw" + user));
        // A dot line and 8-bit text, which a careless relay or reader would mangle.
        const std::string message = "Subject: via " + std::string(Name(via)) +
                                    "\r\n\r\nline one\r\n.\r\n..two\r\n\xC3\xA9t\xC3\xA9\r\n";
        ASSERT_FALSE(dovecot_->AddMessage(user, message).empty());

        CMailClient s;
        s.Timeout = 10;
        CMailServer settings = Settings(via, *proxy, imap, tls);
        settings.User = user;
        settings.Password = "pw" + user;
        ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << "\n" << s.Transcript << proxy->Log();
        EXPECT_EQ(s.Secured, tls);
        ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
        ASSERT_EQ(s.Messages.size(), 1u);
        std::string content;
        ASSERT_TRUE(s.RetrieveMail(&s.Messages[0], content)) << s.LastError;
        EXPECT_EQ(content, message);
        EXPECT_TRUE(s.Quit()) << s.LastError;

        const std::string login = LoginLine(user);
        EXPECT_NE(login.find(std::string("rip=") + test::kProxyOutgoing + ","), std::string::npos)
            << "login not through the proxy: " << login;

        const bool socks4 = via == Via::DanteSocks4;
        const bool http = via >= Via::Tinyproxy;
        EXPECT_NE(s.Transcript.find("Connecting Proxy 127.0.0.1 " + std::to_string(proxy->port()) + "\r\n"),
                  std::string::npos);
        if (!http) {
          EXPECT_NE(s.Transcript.find(socks4 ? "Socks4 proxy server connected target server successfully.\r\n"
                                             : "Socks5 proxy server connected target server successfully.\r\n"),
                    std::string::npos);
        } else {
          EXPECT_NE(s.Transcript.find("CONNECT 127.0.0.1:" + std::to_string(settings.Port) +
                                      " HTTP/1.1\r\nUser-Agent: Plinthor Obj Client\r\n"),
                    std::string::npos);
        }
        // The proxy password never reaches the log in a readable or decodable form.
        EXPECT_EQ(s.Transcript.find(kProxyPassword), std::string::npos);
        EXPECT_EQ(s.Transcript.find(Base64Encode(std::string(kProxyUser) + ":" + kProxyPassword)),
                  std::string::npos);
        if (via == Via::TinyproxyBasic || via == Via::SquidBasic) {
          EXPECT_NE(s.Transcript.find("\r\nProxy-Authorization: Basic ******\r\n\r\n"), std::string::npos);
        }
        if (via == Via::SquidNtlm) {
          EXPECT_NE(s.Transcript.find("\r\nProxy-Authorization: NTLM TlRMTVNTUAAD"), std::string::npos);
        }
        // tinyproxy closes after its 407: the login goes over a second connection.
        if (via == Via::TinyproxyBasic) {
          const std::size_t first = s.Transcript.find("Connected\r\n");
          EXPECT_NE(s.Transcript.find("Connected\r\n", first + 1), std::string::npos);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxyReal, ::testing::ValuesIn(kAll),
                         [](const ::testing::TestParamInfo<Via>& info) { return std::string(Name(info.param)); });

// One refusal each: a wrong proxy password where the proxy asks for one,
// otherwise a target port where nothing listens (or no login where one is
// needed). Nothing reaches the mail server.
TEST_P(ProxyReal, RefusalsCarryTheProxysAnswer) {
  const Via via = GetParam();
  ProxyServer* proxy = proxy_;
  struct Case {
    std::string error;     // the start of LastError
    std::string response;  // LastResponse; empty: any status byte but 0
    bool wrongPassword = false;
    bool closedPort = false;
    bool noLogin = false;
  };
  const std::map<Via, Case> cases = {
      {Via::DanteSocks4, {"Socks4 Proxy: Request rejected or failed.\r\nNativeErrorCode: 91\r\n", "91", false, true}},
      {Via::DanteSocks5, {"Socks5 Proxy: Connection refused.\r\nNativeErrorCode: 5\r\n", "5", false, true}},
      {Via::DanteSocks5Login, {"Socks5 Proxy: Bad Username/Password.\r\nNativeErrorCode: ", "", true}},
      {Via::MicrosocksLogin, {"Socks5 Proxy: Bad Username/Password.\r\nNativeErrorCode: ", "", true}},
      {Via::Tinyproxy, {"Http Proxy: HTTP/1.1 500 Unable to connect\r\n", "500", false, true}},
      // tinyproxy answers a wrong login with 401, a missing one with 407.
      {Via::TinyproxyBasic, {"Http Proxy: HTTP/1.0 401 ", "401", true}},
      {Via::SquidBasic, {"Http Proxy: HTTP/1.1 407 ", "407", true}},
      {Via::SquidNtlm, {"Http Proxy: HTTP/1.1 407 ", "407", false, false, true}},
  };
  const Case& c = cases.at(via);
  CMailClient s;
  s.Timeout = 10;
  CMailServer settings = Settings(via, *proxy, false, false);
  settings.User = "nobody-here";
  if (c.wrongPassword) settings.SocksProxyPassword = "wrong-pw";
  if (c.closedPort) settings.Port = test::FreeLoopbackPorts(1).at(0);
  if (c.noLogin) settings.SocksProxyUser.clear();
  EXPECT_EQ(s.Connect(&settings), kMailFailure);
  EXPECT_EQ(s.LastError.rfind(c.error, 0), 0u) << s.LastError;
  if (c.response.empty()) {
    EXPECT_NE(s.LastResponse, "0");
    EXPECT_EQ(s.LastError, "Socks5 Proxy: Bad Username/Password.\r\nNativeErrorCode: " + s.LastResponse + "\r\n");
  } else {
    EXPECT_EQ(s.LastResponse, c.response);
    if (c.error.starts_with("Http")) {
      EXPECT_TRUE(s.LastError.ends_with("\r\nNativeErrorCode:" + c.response + "\r\n")) << s.LastError;
    }
  }
  EXPECT_TRUE(s.Transcript.ends_with(s.LastError));
  EXPECT_EQ(s.Transcript.find("USER nobody-here"), std::string::npos);
  EXPECT_EQ(s.Transcript.find("wrong-pw"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
