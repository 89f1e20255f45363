#include "engine/TestRun.h"

#include "control/ControlClient.h"
#include "engine/ControlServer.h"
#include "engine/EngineContext.h"
#include "platform/Files.h"
#include "tests/support/Dovecot.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

class AccountTestDovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::Dovecot;
    if (!server_->Start(&start_error_)) {
      delete server_;
      server_ = nullptr;
      return;
    }
    server_->AddUser("tess", "pw");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "Dovecot did not start: " << start_error_;
    // The local mail server with one mailbox: ann@local.dom.
    ASSERT_EQ(MakeFolders(root_ / "etc/tarnwick"), 0);
    ASSERT_EQ(WriteWholeFile(root_ / "etc/tarnwick/registry",
                             "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"" + root_.path() + "/mailserver\"\r\n"),
              0);
    ASSERT_EQ(MakeFolders(root_ / "mailserver/data/local.dom/user/ann"), 0);
  }

  // An account block for the Dovecot POP3 port; extra lines go inside.
  static ConfigBlock Account(const std::string& extra) {
    std::string text = "BEGIN:acct\r\nServer:127.0.0.1\r\nPort:" + std::to_string(server_->pop3_port()) +
                       "\r\nUser:tess\r\n" + extra + "END:acct\r\n";
    return *ParseConfig(text);
  }

  static test::Dovecot* server_;
  static std::string start_error_;
  test::TempDir root_;
  test::ScopedSysroot sysroot_{root_.path()};
};
test::Dovecot* AccountTestDovecot::server_ = nullptr;
std::string AccountTestDovecot::start_error_;

TEST_F(AccountTestDovecot, Verdicts) {
  struct Case {
    const char* name;
    std::string lines;
    std::string verdictStart;
  } cases[] = {
      {"ok", "Password:pw\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n", std::string(kTestOk)},
      {"protocol 7 is tested as POP3", "Password:pw\r\nProtocol:7\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n",
       std::string(kTestOk)},
      {"SSLType is not read", "Password:pw\r\nSSLType:1\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n",
       std::string(kTestOk)},
      {"login refused", "Password:wrong\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n", "Error: Mail Server: -ERR"},
      {"missing mailbox", "Password:pw\r\nLocalUser:bob\r\nLocalDomain:local.dom\r\n", std::string(kTestNoMailbox)},
      {"missing local user", "Password:pw\r\nLocalDomain:local.dom\r\n", std::string(kTestNoMailbox)},
      {"empty local user", "Password:pw\r\nLocalUser:\r\nLocalDomain:local.dom\r\n", std::string(kTestNoMailbox)},
      {"local user leaving the data folder", "Password:pw\r\nLocalUser:../../local.dom/user/ann\r\nLocalDomain:local.dom\r\n",
       std::string(kTestNoMailbox)},
  };
  for (const Case& c : cases) {
    std::string verdict = AccountTestVerdict(Account(c.lines));
    EXPECT_EQ(verdict.rfind(c.verdictStart, 0), 0u) << c.name << ": " << verdict;
  }
}

TEST_F(AccountTestDovecot, ThroughTheControlPipe) {
  ASSERT_EQ(MakeFolders(root_ / "app/conf"), 0);
  EngineContext engine(root_ / "app");
  ControlServer control(engine, ControlSocketPath());
  ASSERT_EQ(control.Start(), 0);
  ControlClient client;
  ASSERT_EQ(client.Open(), 0);
  ControlMessage greeting;
  ASSERT_EQ(client.Receive(greeting), 0);

  std::string reply;
  const std::string block = "BEGIN:My Account\r\nServer:127.0.0.1\r\nPort:" + std::to_string(server_->pop3_port()) +
                            "\r\nUser:tess\r\nPassword:pw\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\nEND:My Account\r\n";
  ASSERT_EQ(client.Exchange(kTestAccount, "config_name:config/mailpull\r\n\r\n" + block, reply), 0);
  EXPECT_EQ(reply, "");
  ASSERT_TRUE(test::WaitFor([&] { return engine.Tests().FinishedCount() == 1; }));
  ASSERT_EQ(client.Exchange(kTestAccount, "testresult: My Account\r\n\r\n", reply), 0);
  EXPECT_EQ(reply, kTestOk);
  ASSERT_EQ(client.Exchange(kTestAccount, "testresult: My Account\r\n\r\n", reply), 0);
  EXPECT_EQ(reply, kTestUnknown);
  // A test never touches the configuration file.
  EXPECT_FALSE(FileExists(root_ / "app/conf/config.txt"));
}

}  // namespace
}  // namespace tarnwick
