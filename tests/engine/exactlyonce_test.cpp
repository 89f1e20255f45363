// Every message of the remote mailbox ends up in the queue exactly once:
// across kills of the engine program, a queue that fills up, a torn id
// file, a journal left by a crash and a folder that the server renumbered.
#include "control/ControlClient.h"
#include "engine/DeliveryJournal.h"
#include "engine/PullJob.h"
#include "platform/DurableFile.h"
#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Dovecot.h"
#include "tests/support/DovecotSuite.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeServer;
using test::TempDir;

constexpr const char* kLogin = "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n";
constexpr const char* kPrefix = "127.0.0.1#alice#inbox ";

struct Pull {
  explicit Pull(int port, int protocol = Pop3, std::string user = "alice", std::string password = "secret") {
    MakeFolders(queue());
    MakeFolders(work());
    account.server.Server = "127.0.0.1";
    account.server.Port = port;
    account.server.Protocol = protocol;
    account.server.User = std::move(user);
    account.server.Password = std::move(password);
    account.server.LocalUser = "ann";
    account.server.LocalDomain = "local.dom";
    account.label = "acct";
    account.imapFolder = "INBOX";
    account.workFolder = work();
    options.queueFolder = queue();
    options.dataFolder = dir / "data";
    options.timeoutSeconds = 10;
    options.stallWaitMs = 300;
  }
  AccountRunResult Run() { return PullJob(options).Run(account, [](const std::string&, const std::string&) {}); }
  std::string queue() const { return dir / "queue"; }
  std::string work() const { return dir / "work"; }
  std::string temp() const { return dir / "tarnwick-tmp"; }
  std::string Read(const std::string& path) const {
    std::string t;
    ReadWholeFile(path, t);
    return t;
  }
  TempDir dir;
  AccountSession account;
  PullOptions options;
};

// A crash left a journal: the first message's file is gone from the private
// folder (named, and already taken from the queue by the mail server), the
// second's is still there (never named). The run records the first, fetches
// the second again, and sweeps what no journal names; nothing else in the
// queue is touched.
TEST(ExactlyOnce, AJournalLeftByACrashIsFinished) {
  FakeServer fake(std::string(kLogin) +
                  "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: .\n"
                  "C: RETR 2\nS: +OK\nS: Subject: b\nS: \nS: b\nS: .\nC: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  ASSERT_EQ(MakeFolders(pull.temp()), 0);
  ASSERT_EQ(WriteWholeFile(pull.temp() + "/tarnwick-1.1.2-5.tmp", "half of b"), 0);
  ASSERT_EQ(WriteWholeFile(pull.temp() + "/tarnwick-9.9.9-9.tmp", "orphan"), 0);
  ASSERT_EQ(WriteWholeFile(pull.temp() + "/keep-me", "not ours"), 0);
  ASSERT_EQ(WriteWholeFile(pull.queue() + "/.tarnwick-7.7.7.tmp", "older version"), 0);
  ASSERT_EQ(WriteWholeFile(pull.queue() + "/other.tmp", "the mail server's"), 0);
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt.tmp.999999999.0", "a crashed rewrite"), 0);
  // Lines of other accounts survive the journal's recovery.
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", "other.example#bob#inbox 1\r\n"), 0);
  ASSERT_EQ(WriteWholeFile(pull.work() + "/delivery.jnl",
                           std::string("tarnwick-1.1.1-5.tmp ") + kPrefix + "a\r\ntarnwick-1.1.2-5.tmp " + kPrefix +
                               "b\r\ntarnwick-1.1.3-5.tmp " + kPrefix + "c"),  // torn: never flushed whole
            0);
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript;
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  EXPECT_NE(r.transcript.find("Delivery journal: 1 delivered, 1 to fetch again"), std::string::npos) << r.transcript;
  EXPECT_EQ(pull.Read(pull.work() + "/uidl.txt"),
            std::string("other.example#bob#inbox 1\r\n") + kPrefix + "a\r\n" + kPrefix + "b\r\n");
  EXPECT_EQ(pull.Read(pull.work() + "/delivery.jnl"), "");
  EXPECT_EQ(ListFiles(pull.temp()), std::vector<std::string>{"keep-me"});
  EXPECT_FALSE(FileExists(pull.work() + "/uidl.txt.tmp.999999999.0"));
  std::vector<std::string> queue = ListFiles(pull.queue());
  std::sort(queue.begin(), queue.end());
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_TRUE(queue[0].ends_with(".eml"));
  EXPECT_EQ(queue[1], "other.tmp");
}

// The journal is finished before the list is asked for: even when the
// listing then fails, the recorded ids are on disk beside the lines kept.
TEST(ExactlyOnce, AJournalIsFinishedBeforeListing) {
  FakeServer fake(std::string(kLogin) + "C: LIST\nS: -ERR busy\nC: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", "other.example#bob#inbox 1\r\n" + std::string(kPrefix) + "z\r\n"), 0);
  ASSERT_EQ(WriteWholeFile(pull.work() + "/delivery.jnl", std::string("tarnwick-1.1.1-5.tmp ") + kPrefix + "a\r\n"), 0);
  AccountRunResult r = pull.Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(pull.Read(pull.work() + "/uidl.txt"),
            "other.example#bob#inbox 1\r\n" + std::string(kPrefix) + "z\r\n" + kPrefix + "a\r\n");
  EXPECT_EQ(pull.Read(pull.work() + "/delivery.jnl"), "");
}

// A torn last line of uidl.txt ("b" of what may have been "bc") matches no
// id: the message is fetched again, the note says why and the file is
// written whole again.
TEST(ExactlyOnce, ATornLastUidlLineMatchesNoId) {
  FakeServer fake(std::string(kLogin) +
                  "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: .\n"
                  "C: RETR 2\nS: +OK\nS: Subject: b\nS: \nS: b\nS: .\nC: QUIT\nS: +OK\n");
  Pull pull(fake.port());
  ASSERT_EQ(WriteWholeFile(pull.work() + "/uidl.txt", std::string(kPrefix) + "a\r\n" + kPrefix + "b"), 0);
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_TRUE(fake.WaitDone());
  EXPECT_EQ(fake.Failures(), "");
  EXPECT_NE(r.transcript.find("torn last line ignored"), std::string::npos);
  EXPECT_EQ(pull.Read(pull.work() + "/uidl.txt"), std::string(kPrefix) + "a\r\n" + kPrefix + "b\r\n");
}

// A group whose time is up is named while the next download stalls; it
// does not wait for that message.
TEST(ExactlyOnce, AGroupIsNamedWhileTheNextDownloadStalls) {
  FakeServer fake(std::string(kLogin) +
                  "C: LIST\nS: +OK\nS: 1 30\nS: 2 30\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: .\n"
                  "C: RETR 1\nS: +OK\nS: Subject: a\nS: \nS: a\nS: .\nC: RETR 2\nR: +OK\\r\\nSubject: b\\r\\n\nW\n");
  Pull pull(fake.port());
  pull.options.timeoutSeconds = 1;
  pull.options.groupWaitMs = 50;
  auto run = std::async(std::launch::async, [&] { return pull.Run(); });
  EXPECT_TRUE(test::WaitFor([&] { return ListFiles(pull.queue()).size() == 1; }, std::chrono::milliseconds(900)));
  EXPECT_EQ(run.wait_for(std::chrono::seconds(0)), std::future_status::timeout);  // still downloading
  EXPECT_EQ(pull.Read(pull.work() + "/uidl.txt"), "");  // recorded once the download returns
  AccountRunResult r = run.get();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(pull.Read(pull.work() + "/uidl.txt"), std::string(kPrefix) + "a\r\n");
  EXPECT_EQ(pull.Read(pull.work() + "/delivery.jnl"), "");
}

// ---------------------------------------------------------------------------
// Against the tests' own Dovecot

class ExactlyOnceDovecot : public test::DovecotSuite<ExactlyOnceDovecot> {};

std::string Numbered(int n, std::size_t pad = 0) {
  return "Date: Wed, 31 Jan 2024 10:20:30 +0000\r\nFrom: s@remote.example\r\nTo: ann@local.dom\r\nSubject: message " +
         std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n" + std::string(pad, 'x') + "\r\n";
}

// The message numbers of the queue files of a folder, each as often as it is there.
std::map<int, int> Tally(const std::string& queue, bool take) {
  std::map<int, int> seen;
  for (const std::string& name : ListFiles(queue)) {
    if (!name.ends_with(".eml")) continue;
    std::string text;
    ReadWholeFile(queue + "/" + name, text);
    std::size_t at = text.find("Subject: message ");
    if (at != std::string::npos) ++seen[std::atoi(text.c_str() + at + 17)];
    if (take) RemoveFile(queue + "/" + name);
  }
  return seen;
}

// The server renumbers the folder (mailbox deleted and made again, with a
// new UIDVALIDITY): new mail under UIDs recorded before still arrives.
TEST_F(ExactlyOnceDovecot, ANewUidValidityFetchesReusedUidsAgain) {
  std::string user = NewUser();
  server_->AddMessage(user, Numbered(1));
  server_->AddMessage(user, Numbered(2));
  Pull pull(server_->imap_port(), Imap4, user, "pw");
  AccountRunResult r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript;
  EXPECT_EQ(Tally(pull.queue(), true), (std::map<int, int>{{1, 1}, {2, 1}}));
  const std::string stamp = pull.Read(pull.work() + "/uidvalidity.txt");
  ASSERT_NE(stamp, "");

  r = pull.Run();  // the same folder: nothing again
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_TRUE(Tally(pull.queue(), true).empty());

  const std::string maildir = server_->dir() + "/mail/" + user + "/Maildir";
  std::filesystem::remove_all(maildir);
  ASSERT_EQ(MakeFolders(maildir), 0);
  ASSERT_EQ(WriteWholeFile(maildir + "/dovecot-uidlist", "3 V4242 N1\n"), 0);
  struct stat owner {};
  ASSERT_EQ(::stat(FolderOf(maildir).c_str(), &owner), 0);  // the mail user's home
  ASSERT_EQ(::chown(maildir.c_str(), owner.st_uid, owner.st_gid), 0);
  ASSERT_EQ(::chown((maildir + "/dovecot-uidlist").c_str(), owner.st_uid, owner.st_gid), 0);
  server_->AddMessage(user, Numbered(3));
  server_->AddMessage(user, Numbered(4));
  r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_NE(r.transcript.find("UIDVALIDITY of folder INBOX changed from "), std::string::npos) << r.transcript;
  EXPECT_EQ(Tally(pull.queue(), true), (std::map<int, int>{{3, 1}, {4, 1}}));
  EXPECT_NE(pull.Read(pull.work() + "/uidvalidity.txt"), stamp);
  r = pull.Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_TRUE(Tally(pull.queue(), true).empty());
}

// Passes bytes between the engine and the server, the server's in small
// pieces with seeded pauses, so that kills land at many points of a run.
class FaultRelay {
 public:
  FaultRelay(int target, unsigned seed) : target_(target), rng_(seed) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 8);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Accept(); });
  }
  ~FaultRelay() {
    stop_ = true;
    thread_.join();
    for (std::thread& t : pipes_) t.join();
    ::close(listen_);
  }
  int port() const { return port_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(target_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(server);
        ::close(client);
        continue;
      }
      pipes_.emplace_back([this, client, server, seed = rng_()] { Pipe(client, server, seed); });
    }
  }
  void Pipe(int client, int server, unsigned seed) {
    std::mt19937 rng(seed);
    char buf[4096];
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (!stop_) {
      if (::poll(p, 2, 50) <= 0) continue;
      if (p[0].revents) {
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0 || ::send(server, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
      }
      if (p[1].revents) {
        ssize_t n = ::recv(server, buf, 1 + rng() % 1400, 0);
        if (n <= 0 || ::send(client, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
      }
    }
    ::close(client);
    ::close(server);
  }

  int target_;
  std::mt19937 rng_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> pipes_;
};

// A system root with the engine program and a local mail server whose
// queue the test empties as the mail server would.
struct EngineRoot {
  TempDir root;
  std::string program = root / "TarnwickSvr";
  std::string mailserver = root / "mailserver";
  bool mounted = false;

  EngineRoot() {
    const char* build = std::getenv("TARNWICK_BUILD_DIR");
    EXPECT_TRUE(test::CopyExecutable(std::string(build ? build : ".") + "/programs/TarnwickSvr", program));
    EXPECT_EQ(MakeFolders(root / "etc/tarnwick"), 0);
    EXPECT_EQ(WriteWholeFile(root / "etc/tarnwick/registry",
                             "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"" + mailserver + "\"\r\n"),
              0);
    EXPECT_EQ(MakeFolders(mailserver), 0);
    EXPECT_EQ(MakeFolders(root / "conf"), 0);
    EXPECT_EQ(WriteWholeFile(root / "conf/config.txt",
                             "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:1\r\nLogLevel:0\r\nEND:mailpull\r\nEND:config\r\n"),
              0);
  }
  ~EngineRoot() {
    if (mounted) ::umount2(mailserver.c_str(), MNT_DETACH);
  }
  // A small file system for the mail server's folders, when one can be
  // mounted here.
  bool MountSmall(const char* size) {
    mounted = ::mount("tarnwick-test", mailserver.c_str(), "tmpfs", 0, size) == 0;
    return mounted;
  }
  std::string queue() const { return mailserver + "/queue"; }

  // Starts the engine and has it pull the account at once.
  std::unique_ptr<test::ChildProcess> Start(const std::string& account) {
    auto p = std::make_unique<test::ChildProcess>(program, std::vector<std::string>{program, "/s"},
                                                  std::vector<std::string>{"TARNWICK_SYSROOT=" + root.path()});
    test::ScopedSysroot sysroot(root.path());
    ControlClient client;
    EXPECT_TRUE(test::WaitFor([&] { return client.Open() == 0; }, std::chrono::seconds(20)));
    ControlMessage greeting;
    EXPECT_EQ(client.Receive(greeting), 0);
    std::string reply;
    EXPECT_EQ(client.Exchange(kRunNow, account, reply), 0);
    return p;
  }
};

std::string Account(int port, const std::string& user) {
  return "BEGIN:acct\r\nServer:127.0.0.1\r\nPort:" + std::to_string(port) + "\r\nUser:" + user +
         "\r\nPassword:pw\r\nProtocol:0\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\nLeaveCopy:0\r\nEND:acct\r\n";
}

int Rounds(int ci) {
  const char* env = std::getenv("TARNWICK_TEST_KILL_ROUNDS");  // the long loop, run by hand
  return env && std::atoi(env) > 0 ? std::atoi(env) : ci;
}

// kill -9 of the engine program at seeded moments of runs over a few
// hundred messages, new mail arriving between runs and the queue emptied
// as the mail server would; then a clean run. With fill, the mail server's
// folders lie on a small file system that fills up (or, where none can be
// mounted, larger messages exceed a file-size limit) until the last run.
void KillLoop(Dovecot& server, const std::string& user, bool fill, unsigned seed) {
  EngineRoot root;
  if (fill && !root.MountSmall("size=24k")) {
    GTEST_LOG_(INFO) << "no tmpfs here: a file-size limit stands in for a full disk";
  }
  EXPECT_EQ(MakeFolders(root.queue()), 0);
  FaultRelay relay(server.pop3_port(), seed);
  std::mt19937 rng(seed);
  const std::string account = Account(relay.port(), user);
  const int rounds = Rounds(5);
  int next = 0;
  auto add = [&](int n) {
    for (int i = 0; i < n; ++i, ++next) server.AddMessage(user, Numbered(next, fill ? (next % 5) * 700 : 0));
  };
  std::map<int, int> delivered;
  std::map<int, std::string> when;
  int phase = 0;
  auto take = [&] {
    for (auto [n, c] : Tally(root.queue(), true)) {
      delivered[n] += c;
      when[n] += " " + std::to_string(phase);
    }
  };
  add(80);
  const bool limit = fill && !root.mounted;
  auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);  // the engine inherits both
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  int kills = 0;
  for (int round = 0; round < rounds; ++round) {
    if (limit) {
      rlimit small = saved;
      small.rlim_cur = 2048;
      setrlimit(RLIMIT_FSIZE, &small);
    }
    auto engine = root.Start(account);
    if (limit) setrlimit(RLIMIT_FSIZE, &saved);
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 900));
    engine->Kill();
    ++kills;
    ++phase;
    if (rng() % 2) take();  // the mail server takes what is there, or not yet
    add(static_cast<int>(rng() % 25));
  }
  std::signal(SIGXFSZ, oldSignal);
  // The clean run, with room: the queue is emptied while it runs.
  if (root.mounted) {
    EXPECT_EQ(::mount(nullptr, root.mailserver.c_str(), nullptr, MS_REMOUNT, "size=4m"), 0);
  }
  auto engine = root.Start(account);
  bool done = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
       !done && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    take();
    done = server.MessageCount(user) == 0;
  }
  engine->Kill();
  take();
  EXPECT_TRUE(done);
  int lost = 0, twice = 0;
  for (int n = 0; n < next; ++n) {
    if (delivered[n] == 0) ++lost;
    if (delivered[n] > 1) {
      ++twice;
      ADD_FAILURE() << "message " << n << " delivered " << delivered[n] << " times, taken after kills" << when[n];
    }
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(twice, 0);
  for (const std::string& f : ListFiles(root.queue())) EXPECT_FALSE(f.ends_with(".tmp")) << f;
  for (const std::string& f : ListFiles(root.mailserver + "/tarnwick-tmp")) ADD_FAILURE() << "left over: " << f;
  std::cout << "[ kills ] " << (root.mounted ? "tmpfs, " : limit ? "file-size limit, " : "") << kills << " kills, " << next << " messages, " << lost << " lost, " << twice
            << " twice" << std::endl;
}

TEST_F(ExactlyOnceDovecot, KillsOfTheEngineLoseAndRepeatNothing) {
  KillLoop(*server_, NewUser(), false, 20240131);
}

TEST_F(ExactlyOnceDovecot, KillsWhileTheQueueFillsUpLoseAndRepeatNothing) {
  KillLoop(*server_, NewUser(), true, 20240201);
}

}  // namespace
}  // namespace tarnwick
