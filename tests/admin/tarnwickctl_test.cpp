// tarnwickctl as an administrator types it, against the engine program and a
// private Dovecot.
#include "admin/CommandLine.h"

#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/admin/AdminEngine.h"
#include "tests/support/Dovecot.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeIdentityProvider.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <sstream>

namespace tarnwick {
namespace {

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs one command line in this process; input lines feed standard input.
// With terminal set, the lines answer the prompts instead.
Result Ctl(std::vector<std::string> args, std::deque<std::string> input = {}, bool terminal = false,
           Clock* clock = nullptr) {
  std::ostringstream out, err;
  CtlConsole con;
  con.out = &out;
  con.err = &err;
  con.stdinIsTerminal = terminal;
  auto next = [&]() -> std::optional<std::string> {
    if (input.empty()) return std::nullopt;
    std::string l = input.front();
    input.pop_front();
    return l;
  };
  con.readSecret = [&](const std::string&) { return terminal ? next() : std::nullopt; };
  con.readLine = [&] { return terminal ? std::nullopt : next(); };
  con.testPollMs = 50;
  con.clock = clock;
  Result r;
  r.code = RunTarnwickCtl(args, con);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::string Today() {
  std::tm t = LocalTime(SystemClock().NowSeconds());
  char s[64];
  std::snprintf(s, sizeof s, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return s;
}

class CtlWithEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::Dovecot;
    if (!server_->Start(&startError_)) {
      delete server_;
      server_ = nullptr;
      return;
    }
    server_->AddUser("tess", "pw");
    server_->AddMessage("tess", "From: <far@example.net>\r\nSubject: over the hill\r\n\r\nbody\r\n");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "Dovecot did not start: " << startError_;
    ASSERT_TRUE(engine_.Start()) << "the engine did not come up";
  }

  static test::Dovecot* server_;
  static std::string startError_;
  test::AdminEngine engine_;
};
test::Dovecot* CtlWithEngine::server_ = nullptr;
std::string CtlWithEngine::startError_;

TEST_F(CtlWithEngine, AddTestRunAndReadTheLog) {
  const std::string port = std::to_string(server_->pop3_port());
  Result r = Ctl({"accounts"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("bob"), std::string::npos);

  // Inactive, so that only "run" pulls it.
  r = Ctl({"add", "bob", "Server=127.0.0.1", "Port=" + port, "User=tess", "LocalUser=ann", "LocalDomain=local.dom",
           "Active=0", "LeaveCopy=1", "SocksProxyPort=1080", "LogFileName=" + engine_ / "log/bob.log"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Ctl({"add", "BOB", "Server=x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
  r = Ctl({"add", "carol", "Server=x", "Password=secret"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("tarnwickctl password carol Password"), std::string::npos) << r.err;
  r = Ctl({"set", "bob", "OAuth2ClientSecret=abc"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("tarnwickctl password bob OAuth2ClientSecret"), std::string::npos) << r.err;

  r = Ctl({"password", "bob"}, {"pw"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Ctl({"password", "bob", "SocksProxyPassword"}, {"proxy-secret"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Ctl({"password", "bob"});  // nothing on standard input
  EXPECT_EQ(r.code, 1);
  r = Ctl({"password", "bob"}, {"new", "typo"}, true);  // the two prompts disagree
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(engine_.ConfigFile().find("Password:pw\r\n"), std::string::npos);

  r = Ctl({"show", "bob"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Password: ******\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SocksProxyPassword: ******\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LogFileName: " + engine_ / "log/bob.log\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("proxy-secret"), std::string::npos);
  r = Ctl({"show", "bob", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  nlohmann::json shown = nlohmann::json::parse(r.out);
  EXPECT_EQ(shown["keys"]["Password"], "******");
  EXPECT_EQ(shown["keys"]["Port"], port);
  r = Ctl({"accounts", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  nlohmann::json accounts = nlohmann::json::parse(r.out);
  ASSERT_EQ(accounts["accounts"].size(), 1u);
  EXPECT_EQ(accounts["accounts"][0]["localMailbox"], "ann@local.dom");
  EXPECT_EQ(accounts["accounts"][0]["active"], false);
  EXPECT_EQ(r.out.find("pw"), std::string::npos);
  // The secrets reached the engine's file, where they belong.
  EXPECT_NE(engine_.ConfigFile().find("Password:pw\r\n"), std::string::npos);
  EXPECT_NE(engine_.ConfigFile().find("SocksProxyPassword:proxy-secret\r\n"), std::string::npos);
  EXPECT_NE(engine_.ConfigFile().find("LogFileName:" + engine_ / "log/bob.log\r\n"), std::string::npos);

  r = Ctl({"set", "bob", "Port=abc"});
  EXPECT_EQ(r.code, 1);
  r = Ctl({"set", "bob", "Port"});
  EXPECT_EQ(r.code, 2);
  r = Ctl({"set", "nobody", "Server=x"});
  EXPECT_EQ(r.code, 1);
  r = Ctl({"set", "bob", "SocksProxyPort="});  // removes the kept key
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(engine_.ConfigFile().find("SocksProxyPort"), std::string::npos);

  r = Ctl({"test", "bob"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "Test is ok, please click Save to update your configuration.\n");

  r = Ctl({"run", "bob"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(test::WaitFor([&] { return !engine_.QueueFiles().empty(); })) << Ctl({"status"}).out;
  std::string queued;
  ReadWholeFile(engine_ / ("mailserver/queue/" + engine_.QueueFiles()[0]), queued);
  EXPECT_NE(queued.find("Subject: over the hill"), std::string::npos) << queued;
  EXPECT_NE(queued.find("ann@local.dom"), std::string::npos) << queued;

  ASSERT_TRUE(test::WaitFor([&] { return Ctl({"status"}).out.find("Completed") != std::string::npos; }));
  r = Ctl({"status", "--json"});
  ASSERT_EQ(r.code, 0);
  nlohmann::json status = nlohmann::json::parse(r.out);
  EXPECT_EQ(status["workers"].size(), 2u);

  ASSERT_TRUE(test::WaitFor([&] { return Ctl({"logs"}).out.find(Today()) != std::string::npos; }));
  r = Ctl({"logs", Today()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("POP3:127.0.0.1#tess"), std::string::npos) << r.out;
  EXPECT_EQ(Ctl({"logs", "2001-01-01"}).code, 1);
  EXPECT_EQ(Ctl({"logs", "01-01-2001"}).code, 2);
  r = Ctl({"logs", "--json"});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(nlohmann::json::parse(r.out)["logs"][0]["date"], Today());

  // A wrong password, typed twice at the prompt, is a bad verdict.
  ASSERT_EQ(Ctl({"password", "bob"}, {"wrong", "wrong"}, true).code, 0);
  r = Ctl({"test", "bob"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.out.starts_with("Error: ")) << r.out;

  ASSERT_EQ(Ctl({"remove", "bob"}).code, 0);
  EXPECT_EQ(Ctl({"show", "bob"}).code, 1);
  EXPECT_EQ(engine_.ConfigFile().find("BEGIN:bob"), std::string::npos);
}

TEST(Ctl, HelpAndUsage) {
  Result r = Ctl({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* command : {"status", "accounts", "show", "add", "set", "password", "remove", "test", "run", "logs", "signin"})
    EXPECT_NE(r.out.find(std::string("  ") + command + " "), std::string::npos) << command;
  EXPECT_NE(r.out.find("Exit codes"), std::string::npos);
  r = Ctl({"add", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("KEY=VALUE"), std::string::npos) << r.out;
  EXPECT_EQ(Ctl({}).code, 2);
  r = Ctl({"bogus"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unknown command \"bogus\""), std::string::npos) << r.err;
  EXPECT_EQ(Ctl({"show"}).code, 2);
  EXPECT_EQ(Ctl({"status", "extra"}).code, 2);
  EXPECT_EQ(Ctl({"password", "x", "Server"}).code, 2);
}

// Device sign-in against the test identity provider, the token stored
// through the engine program, masked by show and never taken as an argument.
TEST(CtlSignIn, StoresTheRefreshTokenOfADeviceSignIn) {
  test::FakeIdentityProvider idp;
  std::string error;
  if (!idp.Start(&error)) GTEST_SKIP() << "the identity provider did not start: " << error;
  test::AdminEngine engine;
  ASSERT_TRUE(engine.Start()) << "the engine did not come up";
  Result r = Ctl({"add", "dev", "Server=https://ews.example/EWS/Exchange.asmx", "Protocol=2", "User=box@corp.example",
                  "Active=0", "OAuth2TokenUrl=" + idp.Url("/token"), "OAuth2Grant=device_code",
                  "OAuth2ClientId=phone", "OAuth2Scope=offline_access", "OAuth2CaFile=" + idp.ca_file()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("not a key this engine reads"), std::string::npos) << r.err;
  r = Ctl({"signin", "dev"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("OAuth2DeviceUrl"), std::string::npos) << r.err;
  ASSERT_EQ(Ctl({"set", "dev", "OAuth2DeviceUrl=" + idp.Url("/device")}).code, 0);

  idp.SetDeviceScript(1, false);
  test::FakeClock clock(1'800'000'000'000);
  r = Ctl({"signin", "DEV"}, {}, false, &clock);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(idp.Url("/verify") + " and enter the code " + test::FakeIdentityProvider::kUserCode),
            std::string::npos) << r.out;
  const std::string token = idp.current_refresh_token();
  ASSERT_FALSE(token.empty());
  EXPECT_NE(engine.ConfigFile().find("OAuth2RefreshToken:" + token + "\r\n"), std::string::npos);
  EXPECT_EQ(r.out.find(token), std::string::npos);

  r = Ctl({"show", "dev"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("OAuth2RefreshToken: ******\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(token), std::string::npos);
  r = Ctl({"set", "dev", "OAuth2RefreshToken=x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("tarnwickctl password dev OAuth2RefreshToken"), std::string::npos) << r.err;

  // A sign-in that runs out keeps the stored token.
  idp.SetDeviceScript(0, false, true);
  r = Ctl({"signin", "dev"}, {}, false, &clock);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("expired_token"), std::string::npos) << r.err;
  EXPECT_NE(engine.ConfigFile().find("OAuth2RefreshToken:" + token + "\r\n"), std::string::npos);
  EXPECT_EQ(Ctl({"signin"}).code, 2);
}

TEST(Ctl, EngineNotRunning) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  Result r = Ctl({"status"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
  // A socket file nobody listens on.
  ASSERT_EQ(MakeFolders(root / "run/tarnwick", 0755), 0);
  ASSERT_EQ(WriteWholeFile(ControlSocketPath(), ""), 0);
  r = Ctl({"accounts", "--json"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(Ctl({"add", "bad/name", "Server=x"}).code, 1);
}

// A user outside the group "tarnwick" is refused by the socket's
// permissions as the engine sets them, and told what to do.
TEST_F(CtlWithEngine, UserOutsideTheGroupIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a test user";
  const std::string user = "twctltest";
  if (std::system(("id " + user + " >/dev/null 2>&1 || useradd -M -s /usr/sbin/nologin " + user).c_str()) != 0)
    GTEST_SKIP() << "useradd failed";
  ASSERT_EQ(::chmod(engine_.root().c_str(), 0755), 0);
  const std::string prog = engine_ / "tarnwickctl";
  ASSERT_TRUE(test::CopyExecutable(test::BuiltProgram("tarnwickctl"), prog));
  const std::string cmd = "TARNWICK_SYSROOT=" + engine_.root() + " setpriv --reuid=" + user + " --regid=" + user +
                          " --clear-groups " + prog + " status >" + engine_ / "out" + " 2>" + engine_ / "err";
  int status = std::system(cmd.c_str());
  std::system(("userdel " + user + " >/dev/null 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  std::string err;
  ReadWholeFile(engine_ / "err", err);
  EXPECT_EQ(WEXITSTATUS(status), 4) << err;
  EXPECT_NE(err.find("permission denied on the control socket"), std::string::npos) << err;
  EXPECT_NE(err.find("group \"tarnwick\""), std::string::npos) << err;

  // Root, as the same program, gets through.
  status = std::system(("TARNWICK_SYSROOT=" + engine_.root() + " " + prog + " accounts >/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tarnwick
