#include "engine/ControlServer.h"

#include "control/ControlClient.h"
#include "engine/EngineContext.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/Threads.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Dovecot.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace tarnwick {
namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kConfig =
    "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:2\r\nLogLevel:1\r\n"
    "BEGIN:anna\r\nServer:pop.example.org\r\nUser:anna\r\nEND:anna\r\n"
    "END:mailpull\r\nEND:config\r\n";
const std::string kMailPull =
    "BEGIN:mailpull\r\nMaxThread:2\r\nLogLevel:1\r\n"
    "BEGIN:anna\r\nServer:pop.example.org\r\nUser:anna\r\nEND:anna\r\nEND:mailpull\r\n";

// One request and its reply; error is 0 or what the receive reported.
ControlMessage Ask(ControlClient& c, int32_t type, std::string_view data, int* error = nullptr) {
  ControlMessage reply;
  int e = c.Send(type, data);
  if (e == 0) e = c.Receive(reply);
  if (error) *error = e;
  else EXPECT_EQ(e, 0);
  return reply;
}

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Boot(kConfig); }
  void TearDown() override {
    server_.reset();
    engine_.reset();
  }

  void Boot(const std::string& config) {
    server_.reset();
    engine_.reset();
    ASSERT_EQ(MakeFolders(app() + "/conf"), 0);
    ASSERT_EQ(MakeFolders(app() + "/log"), 0);
    ASSERT_EQ(WriteWholeFile(ConfigPath(), config), 0);
    engine_ = std::make_unique<EngineContext>(app());
    server_ = std::make_unique<ControlServer>(*engine_, ControlSocketPath());
    ASSERT_EQ(server_->Start(), 0);
  }

  std::string app() const { return dir_ / "app"; }
  std::string ConfigPath() const { return app() + "/conf/config.txt"; }
  std::string ConfigFile() const {
    std::string text;
    ReadWholeFile(ConfigPath(), text);
    return text;
  }

  // A connected client whose greeting has been read.
  std::unique_ptr<ControlClient> Client() {
    auto c = std::make_unique<ControlClient>();
    EXPECT_EQ(c->Open(), 0);
    ControlMessage greeting;
    EXPECT_EQ(c->Receive(greeting), 0);
    EXPECT_EQ(greeting.type, kHello);
    EXPECT_EQ(greeting.magic, kReplyMagic);
    EXPECT_TRUE(std::regex_match(std::string(greeting.Text()), std::regex("sid:-?[0-9]+\r\n")))
        << greeting.Text();
    return c;
  }

  test::TempDir dir_;
  test::ScopedSysroot sysroot_{dir_.path()};
  std::unique_ptr<EngineContext> engine_;
  std::unique_ptr<ControlServer> server_;
};

// A raw connection to the control socket, greeting read.
class RawClient {
 public:
  RawClient() {
    EXPECT_EQ(socket_.Connect(ControlSocketPath(), 1000), 0);
    ControlMessage greeting;
    EXPECT_EQ(Read(greeting), 0);
  }
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t n = 0;
      bool wouldBlock = false;
      if (socket_.Write(bytes.data(), bytes.size(), n, wouldBlock) != 0) return;  // closed
      if (wouldBlock) {
        bool ready = false;
        socket_.WaitWritable(30000, ready);
        continue;
      }
      bytes.remove_prefix(n);
    }
  }
  // Reads one reply; 10054 when the engine closed the connection.
  int Read(ControlMessage& out) {
    ControlReader reader(ControlReader::Side::kAdmin);
    char buf[4096];
    for (;;) {
      bool ready = false;
      socket_.WaitReadable(30000, ready);
      if (!ready) return err::kTimedOut;
      std::size_t got = 0;
      bool wouldBlock = false;
      if (int e = socket_.Read(buf, std::min(sizeof buf, reader.Wanted()), got, wouldBlock)) return e;
      if (wouldBlock) continue;
      if (got == 0) return err::kConnReset;
      std::size_t used = 0;
      auto st = reader.Feed(std::span<const char>(buf, got), used);
      if (st == ControlReader::Status::kMessage) {
        out = reader.Take();
        return 0;
      }
      if (st == ControlReader::Status::kError) return err::kInvalidParameter;
    }
  }
  bool ClosedByEngine() {
    ControlMessage m;
    return Read(m) == err::kConnReset;
  }

 private:
  LocalSocket socket_;
};

std::string Be(int32_t v) { return EncodeControlMessage(v, 0, "").substr(0, 4); }
std::string Request(int32_t type, std::string_view data) {
  return EncodeControlMessage(kRequestMagic, type, data);
}

TEST_F(ControlServerTest, HelloAndEmptyRequestFraming) {
  auto c = Client();
  ControlMessage r = Ask(*c, kHello, "ignored");
  EXPECT_EQ(r.type, kHello);
  EXPECT_EQ(r.restLength, 4);
  EXPECT_EQ(r.dataLength, 0);
  // Two requests in one write are answered in turn.
  RawClient raw;
  raw.Write(Request(kHello, "") + Request(kStatusList, ""));
  ControlMessage a, b;
  ASSERT_EQ(raw.Read(a), 0);
  ASSERT_EQ(raw.Read(b), 0);
  EXPECT_EQ(a.type, kHello);
  EXPECT_EQ(b.type, kStatusList);
}

TEST_F(ControlServerTest, GetConfigFindsThePathHoweverTheFieldIsWritten) {
  auto c = Client();
  for (const char* data : {"config_name: config/mailpull", "config_name:config/mailpull\r\n\r\n",
                           "CONFIG_NAME:   config/mailpull   \r\n\r\n", "Config_Name:\tCONFIG/MailPull/",
                           "other: x\r\nconfig_name: config/mailpull\r\n\r\n"}) {
    ControlMessage r = Ask(*c, kGetConfig, data);
    EXPECT_EQ(r.type, kGetConfig) << data;
    EXPECT_EQ(r.Text(), kMailPull) << data;
  }
  ControlMessage acct = Ask(*c, kGetConfig, "config_name: config/mailpull/ANNA");
  EXPECT_EQ(acct.Text(), "BEGIN:anna\r\nServer:pop.example.org\r\nUser:anna\r\nEND:anna\r\n");
}

TEST_F(ControlServerTest, RefusedRequestsCloseOnlyTheirConnection) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"type 8", Request(8, "")},
      {"negative type", Request(-1, "")},
      {"rest length 0", Be(kRequestMagic) + Be(kHello) + Be(0)},
      {"negative rest length", Be(kRequestMagic) + Be(kHello) + Be(-8)},
      {"rest above 64 MiB", Be(kRequestMagic) + Be(kPutConfig) + Be(kMaxControlRest + 1)},
      {"bye", Request(kBye, "")},
      {"run now without a block", Request(kRunNow, "Server:x\r\n")},
      {"get config of an unknown path", Request(kGetConfig, "config_name: config/nobody")},
      {"get config without a path", Request(kGetConfig, "")},
      {"put config without an empty line", Request(kPutConfig, "config_name:config/mailpull\r\nBEGIN:mailpull\r\nEND:mailpull\r\n")},
      {"put config with a broken block", Request(kPutConfig, "config_name:config/mailpull\r\n\r\nBEGIN:mailpull\r\n")},
      {"test without a field", Request(kTestAccount, "name: x\r\n\r\nBEGIN:x\r\nEND:x\r\n")},
      {"test without a body", Request(kTestAccount, "config_name:config/mailpull\r\nBEGIN:x\r\nEND:x\r\n")},
      {"test with a broken block", Request(kTestAccount, "config_name:x\r\n\r\nBEGIN:x\r\n")},
  };
  RawClient bystander;
  const std::string before = ConfigFile();
  for (const Case& c : cases) {
    RawClient raw;
    raw.Write(c.bytes);
    EXPECT_TRUE(raw.ClosedByEngine()) << c.name;
  }
  EXPECT_TRUE(test::WaitFor([&] { return server_->OpenConnections() == 1; }));
  bystander.Write(Request(kHello, ""));
  ControlMessage r;
  ASSERT_EQ(bystander.Read(r), 0);
  EXPECT_EQ(r.type, kHello);
  EXPECT_EQ(ConfigFile(), before);
  EXPECT_EQ(engine_->Scheduler().QueueLength(), 0u);
  EXPECT_EQ(engine_->Tests().Count(), 0u);
}

TEST_F(ControlServerTest, PutConfigIsSeenByOtherConnectionsAndWritten) {
  auto writer = Client();
  auto reader = Client();
  const std::string block =
      "BEGIN:mailpull\r\nMaxThread:3\r\nBEGIN:bob\r\nServer:imap.example.org\r\nUpdate:1\r\nEND:bob\r\nEND:mailpull\r\n";
  ControlMessage r = Ask(*writer, kPutConfig, "config_name:config/mailpull\r\n\r\n" + block);
  EXPECT_EQ(r.type, kPutConfig);
  EXPECT_EQ(r.dataLength, 0);
  EXPECT_EQ(Ask(*reader, kGetConfig, "config_name: config/mailpull").Text(), block);
  EXPECT_EQ(ConfigFile(), kBom + "BEGIN:config\r\n" + block + "END:config\r\n");

  // An unknown path is answered all the same and changes nothing.
  const std::string before = ConfigFile();
  r = Ask(*writer, kPutConfig, "config_name:config/elsewhere\r\n\r\nBEGIN:elsewhere\r\nEND:elsewhere\r\n");
  EXPECT_EQ(r.type, kPutConfig);
  r = Ask(*writer, kPutConfig, "\r\n\r\nBEGIN:mailpull\r\nEND:mailpull\r\n");  // no config_name
  EXPECT_EQ(r.type, kPutConfig);
  EXPECT_EQ(ConfigFile(), before);
  EXPECT_EQ(Ask(*reader, kGetConfig, "config_name: config/mailpull").Text(), block);
}

TEST_F(ControlServerTest, RunNowQueuesACopyOfTheAccount) {
  auto c = Client();
  ControlMessage r = Ask(*c, kRunNow, "BEGIN:anna\r\nServer:pop.example.org\r\nEND:anna\r\n");
  EXPECT_EQ(r.type, kPutConfig);  // not kRunNow
  EXPECT_EQ(engine_->Scheduler().QueueLength(), 1u);
}

TEST_F(ControlServerTest, StatusListHasOneLinePerWorkerLastFirst) {
  auto c = Client();
  EXPECT_EQ(Ask(*c, kStatusList, "").dataLength, 0);  // no workers yet
  std::vector<int32_t> ids;
  auto set = [&](const char* label, const char* status) {
    std::thread t([&] {
      ids.push_back(CurrentThreadId());
      engine_->Scheduler().SetStatus(label, status);
    });
    t.join();
  };
  set("N\\A", "Idle");
  set("POP3:pop.example.org#anna", "Connecting Server ...");
  set("IMAP4:imap.example.org#\"bob\"", "Mail Server: -ERR \"no\"");
  ControlMessage r = Ask(*c, kStatusList, "");
  EXPECT_EQ(r.type, kStatusList);
  EXPECT_EQ(r.Text(), std::to_string(ids[2]) + ",\"IMAP4:imap.example.org#'bob'\",\"Mail Server: -ERR 'no'\"\r\n" +
                          std::to_string(ids[1]) + ",\"POP3:pop.example.org#anna\",\"Connecting Server ...\"\r\n" +
                          std::to_string(ids[0]) + ",\"N\\A\",\"Idle\"\r\n");
}

TEST_F(ControlServerTest, LogListNamesTheDailyLogFiles) {
  auto c = Client();
  EXPECT_EQ(Ask(*c, kLogList, "").dataLength, 0);
  for (const char* name : {"20240301.log.txt", "20240302.log.txt", "notes.txt", "20240303.LOG.TXT"})
    ASSERT_EQ(WriteWholeFile(app() + "/log/" + name, "x"), 0);
  ASSERT_EQ(MakeFolder(app() + "/log/folder.log.txt"), 0);
  ControlMessage r = Ask(*c, kLogList, "");
  EXPECT_EQ(r.type, kLogList);
  std::multiset<std::string> lines;
  std::string_view text = r.Text();
  while (!text.empty()) {
    std::size_t end = text.find("\r\n");
    ASSERT_NE(end, std::string_view::npos);
    lines.insert(std::string(text.substr(0, end)));
    text.remove_prefix(end + 2);
  }
  EXPECT_EQ(lines, (std::multiset<std::string>{app() + "/log/20240301.log.txt", app() + "/log/20240302.log.txt",
                                               app() + "/log/20240303.LOG.TXT"}));
}

TEST_F(ControlServerTest, LongReplyToOneClientDoesNotHoldUpAnother) {
  std::string big = "BEGIN:config\r\nBEGIN:mailpull\r\n";
  for (int i = 0; i < 60000; ++i) big += "Key" + std::to_string(i) + ":" + std::string(100, 'v') + "\r\n";
  big += "END:mailpull\r\nEND:config\r\n";
  Boot(big);
  auto slow = Client();
  // The reply (several MiB) fills the socket; the client does not read yet.
  ASSERT_EQ(slow->Send(kGetConfig, "config_name: config/mailpull"), 0);
  auto other = Client();  // greeted meanwhile
  EXPECT_EQ(Ask(*other, kHello, "").type, kHello);
  ControlMessage r;
  ASSERT_EQ(slow->Receive(r), 0);
  EXPECT_GT(r.data.size(), 6u * 1024 * 1024);
  EXPECT_EQ(r.Text(), big.substr(14, big.size() - 14 - 12));
}

TEST_F(ControlServerTest, SilentAndHalfSentClientsHoldUpNobody) {
  RawClient silent;
  RawClient halfHead;
  halfHead.Write(Request(kHello, "").substr(0, 5));
  RawClient halfRest;
  halfRest.Write(Request(kGetConfig, "config_name: config/mailpull").substr(0, 20));
  for (int i = 0; i < 3; ++i) {
    auto c = Client();
    EXPECT_EQ(Ask(*c, kGetConfig, "config_name: config/mailpull").Text(), kMailPull);
  }
  EXPECT_TRUE(test::WaitFor([&] { return server_->OpenConnections() == 3; }));
  // Each is still served once it goes on.
  silent.Write(Request(kHello, ""));
  halfHead.Write(Request(kHello, "").substr(5));
  halfRest.Write(Request(kGetConfig, "config_name: config/mailpull").substr(20));
  ControlMessage a, b, c;
  ASSERT_EQ(silent.Read(a), 0);
  ASSERT_EQ(halfHead.Read(b), 0);
  ASSERT_EQ(halfRest.Read(c), 0);
  EXPECT_EQ(a.type, kHello);
  EXPECT_EQ(b.type, kHello);
  EXPECT_EQ(c.Text(), kMailPull);
}

TEST_F(ControlServerTest, ArbitraryBytesChangeNothing) {
  const std::string before = ConfigFile();
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    std::string bytes(1 + random() % 4096, '\0');
    for (char& ch : bytes) ch = static_cast<char>(random());
    // Half the rounds start with a valid head so that the rest is parsed.
    if (round % 2 == 0) bytes = Be(kRequestMagic) + Be(static_cast<int32_t>(round / 2 % 8)) +
                                Be(static_cast<int32_t>(bytes.size())) + bytes;
    RawClient raw;
    raw.Write(bytes);
  }
  auto c = Client();
  EXPECT_EQ(Ask(*c, kGetConfig, "config_name: config/mailpull").Text(), kMailPull);
  EXPECT_EQ(ConfigFile(), before);
}

TEST_F(ControlServerTest, StopClosesEverything) {
  RawClient a;
  RawClient b;
  EXPECT_TRUE(test::WaitFor([&] { return server_->OpenConnections() == 2; }));
  server_->Stop();
  EXPECT_TRUE(server_->ListenerEnded());
  EXPECT_EQ(server_->OpenConnections(), 0);
  EXPECT_TRUE(a.ClosedByEngine());
  EXPECT_FALSE(FileExists(ControlSocketPath()));
}

// --- Account tests through the pipe ----------------------------------------

std::string TestBlock(const std::string& name, int port) {
  return "config_name:config/mailpull\r\n\r\nBEGIN:" + name + "\r\nServer:127.0.0.1\r\nPort:" +
         std::to_string(port) + "\r\nUser:u\r\nPassword:p\r\nEND:" + name + "\r\n";
}

std::string Fetch(ControlClient& c, const std::string& name) {
  ControlMessage r = Ask(c, kTestAccount, "testresult: " + name + "\r\n\r\n");
  EXPECT_EQ(r.type, kTestAccount);
  return std::string(r.Text());
}

TEST_F(ControlServerTest, TestResultIsFetchedOnceByExactName) {
  auto c = Client();
  EXPECT_EQ(Fetch(*c, "never"), "Error: Server timeout!");
  const int closedPort = test::FreeLoopbackPorts(1)[0];
  ControlMessage r = Ask(*c, kTestAccount, TestBlock("Acct", closedPort));
  EXPECT_EQ(r.type, kTestAccount);
  EXPECT_EQ(r.dataLength, 0);
  ASSERT_TRUE(test::WaitFor([&] { return engine_->Tests().FinishedCount() == 1; }));
  EXPECT_EQ(Fetch(*c, "acct"), "Error: Server timeout!");
  EXPECT_EQ(Fetch(*c, "ACCT"), "Error: Server timeout!");
  std::string verdict = Fetch(*c, "  Acct  ");  // the value is trimmed
  EXPECT_EQ(verdict.rfind("Error: NativeErrorCode: 10061", 0), 0u) << verdict;
  EXPECT_EQ(Fetch(*c, "Acct"), "Error: Server timeout!");
}

TEST_F(ControlServerTest, RunningTestAnswersEmptyUntilDone) {
  test::FakeServer stall("W\n");
  auto c = Client();
  Ask(*c, kTestAccount, TestBlock("slow", stall.port()));
    EXPECT_EQ(Fetch(*c, "slow"), "");
  EXPECT_EQ(engine_->Tests().Count(), 1u);
  stall.Stop();  // the session sees the connection end
  ASSERT_TRUE(test::WaitFor([&] { return engine_->Tests().FinishedCount() == 1; }));
  EXPECT_EQ(Fetch(*c, "slow").rfind("Error: ", 0), 0u);
}

TEST_F(ControlServerTest, SixFinishedTestsGoOnOneFetch) {
  auto c = Client();
  const int closedPort = test::FreeLoopbackPorts(1)[0];
  for (int i = 1; i <= 6; ++i) Ask(*c, kTestAccount, TestBlock("t" + std::to_string(i), closedPort));
  ASSERT_TRUE(test::WaitFor([&] { return engine_->Tests().FinishedCount() == 6; }));
  EXPECT_EQ(Fetch(*c, "t3").rfind("Error: NativeErrorCode", 0), 0u);
  EXPECT_EQ(engine_->Tests().Count(), 0u);
  EXPECT_EQ(Fetch(*c, "t1"), "Error: Server timeout!");

  // With five listed, fetching one keeps the others.
  for (int i = 1; i <= 5; ++i) Ask(*c, kTestAccount, TestBlock("f" + std::to_string(i), closedPort));
  ASSERT_TRUE(test::WaitFor([&] { return engine_->Tests().FinishedCount() == 5; }));
  EXPECT_NE(Fetch(*c, "f2"), "Error: Server timeout!");
  EXPECT_EQ(engine_->Tests().Count(), 4u);
}

TEST(ControlServerProgram, TheEngineServesItsControlSocket) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  const char* build = std::getenv("TARNWICK_BUILD_DIR");
  std::string prog = root / "TarnwickSvr";
  ASSERT_TRUE(test::CopyExecutable(std::string(build ? build : ".") + "/programs/TarnwickSvr", prog));
  ASSERT_EQ(MakeFolders(root / "conf"), 0);
  ASSERT_EQ(WriteWholeFile(root / "conf/config.txt", kConfig), 0);
  test::ChildProcess engine(prog, {prog, "/s"}, {"TARNWICK_SYSROOT=" + root.path()});
  ASSERT_TRUE(engine.Started());
  ControlClient client;
  ASSERT_TRUE(test::WaitFor([&] { return client.Open() == 0; }, std::chrono::seconds(20)));
  ControlMessage greeting;
  ASSERT_EQ(client.Receive(greeting), 0);
  EXPECT_EQ(greeting.Text().rfind("sid:", 0), 0u);
  std::string reply;
  ASSERT_EQ(client.Exchange(kGetConfig, "config_name: config/mailpull", reply), 0);
  EXPECT_EQ(reply, kMailPull);
  engine.Kill();
}

}  // namespace
}  // namespace tarnwick
