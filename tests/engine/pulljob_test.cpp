#include "engine/PullJob.h"

#include "control/ControlClient.h"
#include "engine/UidlStore.h"
#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Dovecot.h"
#include "tests/support/DovecotSuite.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/FakeClock.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeServer;
using test::TempDir;

// A pull of one account into folders of a temporary folder.
struct Pull {
  explicit Pull(int port, std::string user = "alice", std::string password = "secret") {
    MakeFolders(queue());
    MakeFolders(work());
    MakeFolders(data());
    account.server.Server = "127.0.0.1";
    account.server.Port = port;
    account.server.User = std::move(user);
    account.server.Password = std::move(password);
    account.server.LocalUser = "ann";
    account.server.LocalDomain = "local.dom";
    account.label = "POP3:127.0.0.1#" + account.server.User;
    account.workFolder = work();
    options.queueFolder = queue();
    options.dataFolder = data();
    options.timeoutSeconds = 30;
    options.stallWaitMs = 300;
  }

  AccountRunResult Run() {
    progress.clear();
    PullJob job(options);
    return job.Run(account, [this](const std::string& label, const std::string& text) {
      EXPECT_EQ(label, account.label);
      progress.push_back(text);
    });
  }

  std::string queue() const { return dir / "queue"; }
  std::string work() const { return dir / "work"; }
  std::string data() const { return dir / "data"; }
  std::vector<std::string> QueueFiles() const {
    std::vector<std::string> f = ListFiles(queue());
    std::sort(f.begin(), f.end());
    return f;
  }
  std::string Read(const std::string& path) const {
    std::string t;
    ReadWholeFile(path, t);
    return t;
  }
  std::string Uidl() const { return Read(work() + "/uidl.txt"); }
  std::size_t Count(const std::string& text) const {
    return static_cast<std::size_t>(std::count(progress.begin(), progress.end(), text));
  }
  bool Saw(const std::string& prefix) const {
    return std::any_of(progress.begin(), progress.end(),
                       [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
  }

  TempDir dir;
  AccountSession account;
  PullOptions options;
  std::vector<std::string> progress;
};

std::string Message(int n, const std::string& date) {
  return "Date: " + date + "\r\nFrom: Sender " + std::to_string(n) + " <s" + std::to_string(n) +
         "@remote.example>\r\nTo: ann@local.dom\r\nSubject: message " + std::to_string(n) +
         "\r\n\r\nbody " + std::to_string(n) + "\r\n..stuffed line\r\n";
}

// The ids Dovecot gives the user's messages, in list order.
std::vector<std::string> ServerIds(Dovecot& d, const std::string& user, const std::string& password) {
  CMailClient s;
  CMailServer settings;
  settings.Server = "127.0.0.1";
  settings.Port = d.pop3_port();
  settings.User = user;
  settings.Password = password;
  std::vector<std::string> ids;
  if (s.Connect(&settings) == 0 && s.GetMailList() == 0)
    for (const CMailInfo& m : s.Messages) ids.push_back(m.UIDL);
  s.Quit();
  return ids;
}

class PullDovecot : public test::DovecotSuite<PullDovecot> {};

TEST_F(PullDovecot, EmptyMailboxKeepsOtherAccountsLines) {
  std::string user = NewUser();
  Pull pull(server_->pop3_port(), user, "pw");
  const std::string foreign = "other.example#bob#INBOX 17\r\n";
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", foreign + "127.0.0.1#" + user + "#INBOX stale\r\n"), 0);
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript;
  EXPECT_TRUE(pull.QueueFiles().empty());
  EXPECT_EQ(pull.Uidl(), foreign);
  EXPECT_EQ(pull.progress, (std::vector<std::string>{"Connected", "Authorized", "Loading local UIDL file ...",
                                                     "Retrieving mail list ...", "Synchronizing UIDL ...",
                                                     "Quiting ..."}));
}

TEST_F(PullDovecot, FetchesOnlyWhatIsNotRecorded) {
  std::string user = NewUser();
  server_->AddMessage(user, Message(1, "Wed, 31 Jan 2024 10:20:30 +0000"));
  server_->AddMessage(user, Message(2, "Thu, 1 Feb 2024 08:00:00 +0000"));
  server_->AddMessage(user, Message(3, "Tue, 30 Jan 2024 23:59:59 +0000"));
  std::vector<std::string> ids = ServerIds(*server_, user, "pw");
  ASSERT_EQ(ids.size(), 3u);

  Pull pull(server_->pop3_port(), user, "pw");
  const std::string foreign = "other.example#bob#INBOX 17\r\n";
  const std::string prefix = "127.0.0.1#" + user + "#inbox ";
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", foreign + prefix + ids[1] + "\r\n"), 0);

  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript;
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(pull.Count("Checking mail list, Seq:" + std::to_string(i) + " / 3 ..."), 1u);
  EXPECT_EQ(pull.Count("Forwarding email, Seq:1 / 3 ..."), 1u);
  EXPECT_EQ(pull.Count("Forwarding email, Seq:2 / 3 ..."), 0u);
  EXPECT_EQ(pull.Count("Forwarding email, Seq:3 / 3 ..."), 1u);
  EXPECT_TRUE(pull.Saw("Receiving email, Seq:3, Size:0/"));
  EXPECT_FALSE(pull.Saw("Receiving email, Seq:2,"));

  // Named by date: message 3 (30 Jan) sorts before message 1 (31 Jan).
  std::vector<std::string> files = pull.QueueFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].substr(0, 15), "020240130235959");
  EXPECT_EQ(files[1].substr(0, 15), "020240131102030");
  std::string first = pull.Read(pull.queue() + "/" + files[1]);
  EXPECT_EQ(first.rfind("x-sender: s1@remote.example\r\nx-rcpt-to: ann@local.dom\r\nReceived: from 127.0.0.1[127.0.0.1] by ", 0),
            0u)
      << first;
  EXPECT_NE(first.find("X-Originating-IP: 127.0.0.1\r\nX-Originating-Sender: s1@remote.example\r\n" +
                       Message(1, "Wed, 31 Jan 2024 10:20:30 +0000")),
            std::string::npos)
      << first;
  EXPECT_TRUE(first.ends_with("\r\n..stuffed line\r\n")) << first;

  EXPECT_EQ(pull.Uidl(), foreign + prefix + ids[1] + "\r\n" + prefix + ids[0] + "\r\n" + prefix + ids[2] + "\r\n");
  EXPECT_NE(r.transcript.find("[PROC] forward message\r\n"), std::string::npos);
  EXPECT_EQ(r.transcript.find("pw\r\n"), std::string::npos);
  EXPECT_EQ(server_->MessageCount(user), 3u);  // copies are left by default

  // Nothing new: the second run fetches nothing.
  r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_FALSE(pull.Saw("Forwarding email"));
  EXPECT_EQ(pull.QueueFiles().size(), 2u);
}

TEST_F(PullDovecot, WithoutLeaveCopyEveryListedMessageIsDeleted) {
  std::string user = NewUser();
  for (int i = 1; i <= 3; ++i) server_->AddMessage(user, Message(i, "Wed, 31 Jan 2024 10:20:30 +0000"));
  std::vector<std::string> ids = ServerIds(*server_, user, "pw");
  Pull pull(server_->pop3_port(), user, "pw");
  const std::string prefix = "127.0.0.1#" + user + "#inbox ";
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", prefix + ids[0] + "\r\n"), 0);
  pull.account.leaveCopy = false;
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(pull.QueueFiles().size(), 2u);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(pull.Count("Delete email, Seq:" + std::to_string(i) + " / 3 ..."), 1u);
  EXPECT_EQ(server_->MessageCount(user), 0u);
  // Same date and the same millisecond would give one name: the counter
  // keeps the two apart.
  std::vector<std::string> files = pull.QueueFiles();
  EXPECT_NE(files[0], files[1]);
  // The ids stay recorded until the next run finds them gone.
  EXPECT_EQ(pull.Uidl(), prefix + ids[0] + "\r\n" + prefix + ids[1] + "\r\n" + prefix + ids[2] + "\r\n");
  r = pull.Run();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(pull.Uidl(), "");
}

TEST_F(PullDovecot, DistributeToLocalRecipients) {
  std::string user = NewUser();
  server_->AddMessage(user,
                      "From: a@remote.example\r\nTo: bob@local.dom, \"Doe, Jo\" <jo@all.dom>\r\n"
                      "Cc: someone@remote.example\r\nSubject: x\r\n\r\nbody\r\n");
  Pull pull(server_->pop3_port(), user, "pw");
  ASSERT_EQ(MakeFolders(pull.data() + "/local.dom/user/bob"), 0);
  std::string flag(160, '\0');
  flag[84] = 2;
  ASSERT_EQ(MakeFolders(pull.data() + "/all.dom"), 0);
  ASSERT_EQ(WriteWholeFile(pull.data() + "/all.dom/domain.dat", flag), 0);
  pull.account.server.DistributeType = 1;
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  std::vector<std::string> files = pull.QueueFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string file = pull.Read(pull.queue() + "/" + files[0]);
  EXPECT_EQ(file.rfind("x-sender: a@remote.example\r\nx-rcpt-to: bob@local.dom,\r\n\tjo@all.dom\r\n", 0), 0u) << file;
  // No date in the message: the name comes from the clock.
  EXPECT_EQ(files[0].size(), 21u + 4u);
}

TEST_F(PullDovecot, MissingQueueFolderFailsAndTheNextRunFetchesAgain) {
  std::string user = NewUser();
  server_->AddMessage(user, Message(1, "Wed, 31 Jan 2024 10:20:30 +0000"));
  Pull pull(server_->pop3_port(), user, "pw");
  pull.options.queueFolder = pull.dir / "no-queue";
  pull.account.leaveCopy = false;
  AccountRunResult r = pull.Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError.rfind("NativeErrorCode: 3 CreateFile to Queue", 0), 0u) << r.lastError;
  EXPECT_FALSE(pull.Saw("Delete email"));
  EXPECT_EQ(server_->MessageCount(user), 1u);
  EXPECT_TRUE(FileExists(pull.work() + "/uidl.txt"));
  EXPECT_EQ(pull.Uidl(), "");

  ASSERT_EQ(MakeFolders(pull.options.queueFolder), 0);
  r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(ListFiles(pull.options.queueFolder).size(), 1u);
  EXPECT_EQ(server_->MessageCount(user), 0u);
}

TEST_F(PullDovecot, FullQueueFolderFailsTheRun) {
  std::string user = NewUser();
  server_->AddMessage(user, Message(1, "Wed, 31 Jan 2024 10:20:30 +0000") + std::string(4096, 'x') + "\r\n");
  Pull pull(server_->pop3_port(), user, "pw");
  const std::string foreign = "other.example#bob#INBOX 17\r\n";
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", foreign), 0);
  // No file of this process may grow past 1 KB while the run lasts: the
  // queue file's write fails as on a full disk.
  auto old = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  AccountRunResult r = pull.Run();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.lastError.find("CreateFile to Queue"), std::string::npos) << r.lastError;
  EXPECT_TRUE(pull.QueueFiles().empty());  // no half-written file
  EXPECT_EQ(pull.Uidl(), foreign);

  r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(pull.QueueFiles().size(), 1u);
}

TEST_F(PullDovecot, LoginFailureLeavesTheUidlFileAlone) {
  std::string user = NewUser();
  Pull pull(server_->pop3_port(), user, "wrong");
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", "keep me"), 0);
  AccountRunResult r = pull.Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError.rfind("Mail Server: -ERR", 0), 0u) << r.lastError;
  EXPECT_EQ(pull.Uidl(), "keep me");
  EXPECT_FALSE(pull.Saw("Loading local UIDL file"));
}

// An engine program copied into a fresh system root whose local mail server
// lives in <root>/mailserver, started on the given "mailpull" block.
struct EngineProgram {
  TempDir root;
  std::unique_ptr<test::ChildProcess> process;

  explicit EngineProgram(const std::string& mailpull) {
    const char* build = std::getenv("TARNWICK_BUILD_DIR");
    std::string prog = root / "TarnwickSvr";
    EXPECT_TRUE(test::CopyExecutable(std::string(build ? build : ".") + "/programs/TarnwickSvr", prog));
    EXPECT_EQ(MakeFolders(root / "etc/tarnwick"), 0);
    EXPECT_EQ(WriteWholeFile(root / "etc/tarnwick/registry",
                             "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"" + root.path() + "/mailserver\"\r\n"),
              0);
    EXPECT_EQ(MakeFolders(root / "mailserver/queue"), 0);
    EXPECT_EQ(MakeFolders(root / "conf"), 0);
    EXPECT_EQ(WriteWholeFile(root / "conf/config.txt", "BEGIN:config\r\n" + mailpull + "END:config\r\n"), 0);
    process = std::make_unique<test::ChildProcess>(prog, std::vector<std::string>{prog, "/s"},
                                                   std::vector<std::string>{"TARNWICK_SYSROOT=" + root.path()});
    EXPECT_TRUE(process->Started());
  }
  ~EngineProgram() { process->Kill(); }

  std::vector<std::string> Queue() { return ListFiles(root / "mailserver/queue"); }
};

std::string AccountBlock(const std::string& name, int port, const std::string& user, const std::string& extra) {
  return "BEGIN:" + name + "\r\nServer:127.0.0.1\r\nPort:" + std::to_string(port) + "\r\nUser:" + user +
         "\r\nPassword:pw\r\nProtocol:0\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n" + extra + "END:" + name +
         "\r\n";
}

TEST_F(PullDovecot, TheEngineProgramPullsIntoTheQueue) {
  std::string user = NewUser();
  const std::string message = Message(1, "Wed, 31 Jan 2024 10:20:30 +0000");
  server_->AddMessage(user, message);
  EngineProgram engine("BEGIN:mailpull\r\nMaxThread:1\r\nLogLevel:2\r\n" +
                       AccountBlock("acct", server_->pop3_port(), user,
                                    "LeaveCopy:0\r\nActive:1\r\nDownloadInterval:60\r\nStartTime:0\r\n") +
                       "END:mailpull\r\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (server_->MessageCount(user) != 0 && std::chrono::steady_clock::now() < deadline && engine.process->Running())
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  engine.process->Kill();
  std::vector<std::string> files = engine.Queue();
  ASSERT_EQ(files.size(), 1u);
  std::string file;
  ReadWholeFile(engine.root / "mailserver/queue/" + files[0], file);
  EXPECT_EQ(file.rfind("x-sender: s1@remote.example\r\nx-rcpt-to: ann@local.dom\r\n", 0), 0u) << file;
  EXPECT_TRUE(file.ends_with(message));
  EXPECT_EQ(server_->MessageCount(user), 0u);
  EXPECT_TRUE(FileExists(engine.root / "pull/acct/uidl.txt"));
}

// An account sent with "run now" over the control socket is pulled by a
// worker at once, although the configuration holds no accounts.
TEST_F(PullDovecot, RunNowOverTheControlSocketPullsTheAccount) {
  std::string user = NewUser();
  server_->AddMessage(user, Message(1, "Wed, 31 Jan 2024 10:20:30 +0000"));
  server_->AddMessage(user, Message(2, "Wed, 31 Jan 2024 10:20:31 +0000"));
  EngineProgram engine("BEGIN:mailpull\r\nMaxThread:2\r\nLogLevel:0\r\nEND:mailpull\r\n");
  test::ScopedSysroot sysroot(engine.root.path());  // where the client finds the socket
  ControlClient client;
  ASSERT_TRUE(test::WaitFor([&] { return client.Open() == 0; }, std::chrono::seconds(20)));
  ControlMessage greeting;
  ASSERT_EQ(client.Receive(greeting), 0);
  std::string reply;
  ASSERT_EQ(client.Exchange(kRunNow, AccountBlock("now", server_->pop3_port(), user, ""), reply), 0);
  EXPECT_TRUE(test::WaitFor([&] { return engine.Queue().size() == 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(server_->MessageCount(user), 2u);  // LeaveCopy defaults to leaving them
}

// ---------------------------------------------------------------------------
// Fault cases on a scripted server

constexpr const char* kLogin = "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n";
constexpr const char* kList3 =
    "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: 3 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: 3 c\nS: .\n";

TEST(PullFaults, FailedFetchDeletesNothing) {
  FakeServer fake(std::string(kLogin) + kList3 +
                  "C: RETR 1\nS: +OK\nS: Subject: one\nS: \nS: body\nS: .\n"
                  "C: RETR 2\nS: -ERR gone\nC: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  pull.account.leaveCopy = false;
  AccountRunResult r = pull.Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError, "Mail Server: -ERR gone\r\n");
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  EXPECT_EQ(fake.Received().find("DELE"), std::string::npos);
  EXPECT_EQ(pull.QueueFiles().size(), 1u);
  EXPECT_EQ(pull.Uidl(), "127.0.0.1#alice#inbox a\r\n");
}

// Only messages fetched and delivered in this run, or recorded by an earlier
// run under an id no other listed message shares, are deleted. Messages
// without an id (the UIDL reply lists fewer than LIST) are fetched on every
// run; an id listed twice is fetched once and neither copy is deleted by it.
TEST(PullFaults, OnlyFetchedOrRecordedMessagesAreDeleted) {
  struct Case {
    const char* name;
    const char* recorded;  // uidl.txt before the run
    const char* script;    // after LIST
  } cases[] = {
      {"ids missing", "",
       "C: UIDL\nS: +OK\nS: 1 a\nS: .\n"
       "C: RETR 1\nS: +OK\nS: a\nS: .\nC: RETR 2\nS: +OK\nS: b\nS: .\nC: RETR 3\nS: +OK\nS: c\nS: .\n"
       "C: DELE 1\nS: +OK\nC: DELE 2\nS: +OK\nC: DELE 3\nS: +OK\nC: QUIT\nS: +OK\n"},
      {"id shared", "127.0.0.1#alice#inbox a\r\n",
       "C: UIDL\nS: +OK\nS: 1 a\nS: 2 a\nS: 3 b\nS: .\n"
       "C: RETR 3\nS: +OK\nS: c\nS: .\nC: DELE 3\nS: +OK\nC: QUIT\nS: +OK\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer fake(std::string(kLogin) + "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: 3 30\nS: .\n" + c.script);
    Pull pull(fake.port());
    pull.account.leaveCopy = false;
    ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", c.recorded), 0);
    AccountRunResult r = pull.Run();
    EXPECT_TRUE(r.ok) << r.lastError;
    EXPECT_TRUE(fake.WaitDone());
    EXPECT_EQ(fake.Failures(), "");
  }
}

TEST(PullFaults, ConnectionLostBeforeQuitStillSucceeds) {
  FakeServer fake(std::string(kLogin) + kList3 +
                  "C: RETR 1\nS: +OK\nS: a\nS: .\nC: RETR 2\nS: +OK\nS: b\nS: .\nC: RETR 3\nS: +OK\nS: c\nS: .\n"
                  "C: DELE 1\nS: +OK\nC: DELE 2\nS: +OK\nC: DELE 3\nS: +OK\nC: QUIT\nX\n");
  Pull pull(fake.port());
  pull.options.timeoutSeconds = 2;
  pull.account.leaveCopy = false;
  AccountRunResult r = pull.Run();
  EXPECT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(pull.QueueFiles().size(), 3u);
  // Quit failed: whether or not the server committed the deletions, the
  // ids stay recorded, so the messages never come twice; the next run's
  // list decides which lines stay.
  EXPECT_EQ(pull.Uidl(), "127.0.0.1#alice#inbox a\r\n127.0.0.1#alice#inbox b\r\n127.0.0.1#alice#inbox c\r\n");
  EXPECT_EQ(fake.Failures(), "");
}

constexpr const char* kFetch3 =
    "C: RETR 1\nS: +OK\nS: a\nS: .\nC: RETR 2\nS: +OK\nS: b\nS: .\nC: RETR 3\nS: +OK\nS: c\nS: .\n";

// Ids of this account in the UIDL file.
std::size_t RecordedIds(const Pull& pull) {
  std::string text = pull.Uidl();
  std::size_t n = 0;
  for (std::size_t at = text.find("127.0.0.1#alice#inbox "); at != std::string::npos;
       at = text.find("127.0.0.1#alice#inbox ", at + 1))
    ++n;
  return n;
}

std::size_t NamedFiles(const Pull& pull) {
  std::vector<std::string> f = pull.QueueFiles();
  return static_cast<std::size_t>(std::count_if(f.begin(), f.end(), [](const std::string& n) { return n.ends_with(".eml"); }));
}

// Messages are named in groups; at every moment of the run each recorded
// id has its queue file under its final name already.
TEST(PullGroups, AnIdIsRecordedOnlyAfterItsFileIsNamed) {
  FakeServer fake(std::string(kLogin) + kList3 + kFetch3 + "C: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  pull.options.groupMessages = 2;
  pull.options.groupWaitMs = 1000000;
  std::vector<std::pair<std::size_t, std::size_t>> seen;  // (ids, named files) at each progress text
  PullJob job(pull.options);
  AccountRunResult r = job.Run(pull.account, [&](const std::string&, const std::string& text) {
    if (text.rfind("Checking mail list", 0) == 0 || text.rfind("Forwarding", 0) == 0)
      seen.emplace_back(RecordedIds(pull), NamedFiles(pull));
  });
  ASSERT_TRUE(r.ok) << r.lastError;
  // The first group of two is flushed beside the run and named during the
  // third download or at the end; at no point is an id ahead of its file.
  ASSERT_EQ(seen.size(), 6u);
  for (const auto& [ids, named] : seen) EXPECT_LE(ids, named);
  EXPECT_EQ(RecordedIds(pull), 3u);
  EXPECT_EQ(NamedFiles(pull), 3u);
  EXPECT_EQ(fake.Failures(), "");
}

// A server that lists one id twice gets the message fetched once, although
// the first is not recorded yet when the second comes up.
TEST(PullGroups, AnIdListedTwiceIsFetchedOnce) {
  FakeServer fake(std::string(kLogin) +
                  "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 a\nS: .\n"
                  "C: RETR 1\nS: +OK\nS: a\nS: .\nC: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  EXPECT_EQ(NamedFiles(pull), 1u);
  EXPECT_EQ(pull.Uidl(), "127.0.0.1#alice#inbox a\r\n");
}

// A group that cannot be finished fails the run like a failed delivery:
// nothing of it is recorded, nothing is deleted on the server, no temporary
// file stays, and the next run fetches the messages again.
TEST(PullGroups, AGroupThatCannotBeFinishedRecordsNothingOfIt) {
  FakeServer fake(std::string(kLogin) + kList3 + kFetch3 + "C: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  pull.options.groupMessages = 3;
  pull.options.groupWaitMs = 1000000;
  pull.account.leaveCopy = false;
  PullJob job(pull.options);
  AccountRunResult r = job.Run(pull.account, [&](const std::string&, const std::string& text) {
    // The first message waits aside; take it away before the group is finished.
    if (text == "Forwarding email, Seq:3 / 3 ...")
      for (const std::string& f : ListFiles(pull.dir / "tarnwick-tmp")) RemoveFile(pull.dir / ("tarnwick-tmp/" + f));
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError.rfind("NativeErrorCode: 2 CreateFile to Queue", 0), 0u) << r.lastError;
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  EXPECT_EQ(fake.Received().find("DELE"), std::string::npos);
  EXPECT_TRUE(pull.QueueFiles().empty());
  EXPECT_TRUE(FileExists(pull.work() + "/uidl.txt"));
  EXPECT_EQ(pull.Uidl(), "");
}

TEST(PullFaults, MalformedListFailsBeforeAnyFetch) {
  FakeServer fake(std::string(kLogin) + "C: LIST\nS: +OK\nS: 1 10\nS: garbage\nS: .\nC: *\n");
  Pull pull(fake.port());
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", "untouched\r\n"), 0);
  AccountRunResult r = pull.Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError.rfind("Mail Server: ", 0), 0u) << r.lastError;
  EXPECT_EQ(pull.Uidl(), "untouched\r\n");
  EXPECT_TRUE(pull.QueueFiles().empty());
}

TEST(PullFaults, StallBeforeTerminatorDeliversTheMessage) {
  FakeServer fake(std::string(kLogin) +
                  "C: LIST\nS: +OK\nS: 1 16\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: .\n"
                  "C: RETR 1\nR: +OK\\r\\nSubject: s\\r\\n\\r\\nb\\r\\n\nW\n");
  Pull pull(fake.port());
  pull.options.timeoutSeconds = 2;
  AccountRunResult r = pull.Run();
  EXPECT_TRUE(r.ok) << r.lastError;  // the quit after it fails, which does not count
  ASSERT_EQ(pull.QueueFiles().size(), 1u);
  EXPECT_TRUE(pull.Read(pull.queue() + "/" + pull.QueueFiles()[0]).ends_with("Subject: s\r\n\r\nb\r\n"));
  EXPECT_NE(r.transcript.find("(CRLF.CRLF missed)"), std::string::npos);
  EXPECT_EQ(pull.Uidl(), "127.0.0.1#alice#inbox a\r\n");
}

}  // namespace
}  // namespace tarnwick
