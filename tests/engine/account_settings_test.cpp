#include "engine/AccountSettings.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

namespace tarnwick {
namespace {

ConfigBlock Account(const std::string& name, const std::string& lines) {
  auto b = ParseConfig("BEGIN:" + name + "\r\n" + lines + "END:" + name + "\r\n");
  EXPECT_TRUE(b.has_value());
  return b ? *b : ConfigBlock{};
}

struct Case {
  const char* what;
  const char* lines;
  std::function<void(const AccountSession&)> check;
};

TEST(BuildSession, KeysDefaultsAndRanges) {
  const Case cases[] = {
      {"nothing set", "",
       [](const AccountSession& s) {
         EXPECT_TRUE(s.leaveCopy);
         EXPECT_EQ(s.server.Port, 110);
         EXPECT_EQ(s.server.AuthType, AuthLogin);
         EXPECT_EQ(s.server.Protocol, Pop3);
         EXPECT_EQ(s.server.ProxyProtocol, Socks5);
         EXPECT_EQ(s.server.SSLType, ConnectSSLAuto);
         EXPECT_FALSE(s.server.SSLConnection);
         EXPECT_EQ(s.server.SocksProxyPort, 1080);
         EXPECT_EQ(s.server.DistributeType, 0);
         EXPECT_EQ(s.imapFolder, "INBOX");
         EXPECT_FALSE(s.logFileName);
         EXPECT_EQ(s.label, "#");
       }},
      {"negative port", "Port:-5\r\n", [](const AccountSession& s) { EXPECT_EQ(s.server.Port, 110); }},
      {"empty port", "Port:\r\n", [](const AccountSession& s) { EXPECT_EQ(s.server.Port, 0); }},
      {"port", "Port:995\r\n", [](const AccountSession& s) { EXPECT_EQ(s.server.Port, 995); }},
      {"auth type out of range", "AuthType:7\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.AuthType, AuthLogin); }},
      {"auth type ntlm", "AuthType:2\r\n", [](const AccountSession& s) { EXPECT_EQ(s.server.AuthType, AuthNTLM); }},
      {"proxy protocol out of range", "ProxyProtocol:9\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.ProxyProtocol, Socks5); }},
      {"proxy protocol socks4", "ProxyProtocol:0\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.ProxyProtocol, Socks4); }},
      {"leave copy 0 deletes", "LeaveCopy:0\r\n", [](const AccountSession& s) { EXPECT_FALSE(s.leaveCopy); }},
      {"leave copy negative deletes", "LeaveCopy:-1\r\n", [](const AccountSession& s) { EXPECT_FALSE(s.leaveCopy); }},
      {"leave copy empty deletes", "LeaveCopy:\r\n", [](const AccountSession& s) { EXPECT_FALSE(s.leaveCopy); }},
      {"leave copy 2 keeps", "LeaveCopy:2\r\n", [](const AccountSession& s) { EXPECT_TRUE(s.leaveCopy); }},
      {"distribute non-zero is 1", "DistributeType:-3\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.DistributeType, 1); }},
      {"ssl above 0", "SSLConnection:1\r\n", [](const AccountSession& s) { EXPECT_TRUE(s.server.SSLConnection); }},
      {"ssl negative", "SSLConnection:-1\r\n", [](const AccountSession& s) { EXPECT_FALSE(s.server.SSLConnection); }},
      {"proxy port negative", "SocksProxyPort:-1\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.SocksProxyPort, 1080); }},
      {"imap label", "Protocol:1\r\nServer:mail.example.org\r\nUser:anna\r\n",
       [](const AccountSession& s) {
         EXPECT_EQ(s.label, "IMAP4: mail.example.org#anna");
         EXPECT_EQ(s.server.Protocol, Imap4);
       }},
      {"pop3 label has no blank", "User:bob\r\nServer:pop.example.org\r\nProtocol:0\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.label, "POP3:pop.example.org#bob"); }},
      {"ews label", "Protocol:2\r\nServer:x\r\nUser:y\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.label, "EWS: x#y"); }},
      {"webdav label", "Protocol:3\r\nServer:x\r\nUser:y\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.label, "WebDAV: x#y"); }},
      {"unknown protocol reads as pop3", "Protocol:9\r\nServer:x\r\nUser:y\r\n",
       [](const AccountSession& s) {
         EXPECT_EQ(s.label, "POP3:x#y");
         EXPECT_EQ(s.server.Protocol, Pop3);
       }},
      {"no protocol key, no prefix", "Server:x\r\nUser:y\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.label, "x#y"); }},
      {"texts", "Password:p w\r\nSocksProxyServer:proxy\r\nSocksProxyUser:pu\r\nSocksProxyPassword:pp\r\n"
                "LocalUser:lu\r\nLocalDomain:ld\r\nIMAP4Folder:Archive\r\nLogFileName:/tmp/x.log\r\n",
       [](const AccountSession& s) {
         EXPECT_EQ(s.server.Password, "p w");
         EXPECT_EQ(s.server.SocksProxyServer, "proxy");
         EXPECT_EQ(s.server.SocksProxyUser, "pu");
         EXPECT_EQ(s.server.SocksProxyPassword, "pp");
         EXPECT_EQ(s.server.LocalUser, "lu");
         EXPECT_EQ(s.server.LocalDomain, "ld");
         EXPECT_EQ(s.imapFolder, "Archive");
         EXPECT_EQ(s.logFileName, "/tmp/x.log");
       }},
      {"keys ignore case, first one counts", "port:1\r\nPORT:2\r\n",
       [](const AccountSession& s) { EXPECT_EQ(s.server.Port, 1); }},
  };
  test::TempDir app;
  ASSERT_EQ(MakeFolder(app / "pull"), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.check(BuildSession(Account("acct", c.lines), app.path()));
  }
}

TEST(BuildSession, CreatesPrivateWorkFolder) {
  test::TempDir app;
  ASSERT_EQ(MakeFolder(app / "pull"), 0);
  AccountSession s = BuildSession(Account("Anna Mail", "Server:x\r\n"), app.path());
  EXPECT_EQ(s.accountName, "Anna Mail");
  EXPECT_EQ(s.workFolder, app / "pull/Anna Mail");
  EXPECT_EQ(s.workFolderError, 0);
  struct stat st{};
  ASSERT_EQ(stat(s.workFolder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // An existing folder is fine.
  EXPECT_EQ(BuildSession(Account("Anna Mail", ""), app.path()).workFolderError, 0);
  // Without the "pull" folder the path is missing.
  test::TempDir bare;
  EXPECT_EQ(BuildSession(Account("Anna Mail", ""), bare.path()).workFolderError, err::kPathNotFound);
}

TEST(BuildSession, NameThatLeavesThePullFolderGetsNoFolder) {
  test::TempDir app;
  ASSERT_EQ(MakeFolder(app / "pull"), 0);
  for (const char* name : {"..", "."}) {
    AccountSession s = BuildSession(Account(name, ""), app.path());
    EXPECT_EQ(s.workFolderError, err::kInvalidName) << name;
    EXPECT_TRUE(s.workFolder.empty()) << name;
  }
  ConfigBlock b = Account("x", "");
  b.name = "../../escape";
  EXPECT_EQ(BuildSession(b, app.path()).workFolderError, err::kInvalidName);
  EXPECT_FALSE(FolderExists(app / "../escape"));
}

}  // namespace
}  // namespace tarnwick
