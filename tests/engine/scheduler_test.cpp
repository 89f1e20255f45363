// The scheduler and the workers, on a virtual clock with a fake pull job.
#include "engine/PullScheduler.h"

#include "engine/EngineHost.h"
#include "platform/Files.h"
#include "platform/Threads.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScopedTimeZone.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

namespace tarnwick {
namespace {

// 2024-01-15 23:50:00 in the zone "CET-1" (one hour east of UTC, no summer
// time), on a whole second.
constexpr int64_t kStartSeconds = 1705359000;
constexpr int64_t kStartMs = kStartSeconds * 1000;

struct RunRecord {
  std::string name;
  std::string label;
  int64_t startMs;
  int64_t endMs;
  bool ok;
};

// Records every run. Per account: how long it takes, whether it fails, what
// transcript it leaves.
class FakeJob {
 public:
  explicit FakeJob(Clock& clock) : clock_(clock) {}

  AccountRunResult Run(const AccountSession& s, const ProgressFn& progress) {
    int64_t start = clock_.NowMs();
    progress(s.label, "Working");
    int64_t duration = 0;
    bool fail = false;
    std::function<void()> onStart;
    std::string transcript = "C: USER " + s.server.User + "\r\nS: +OK\r\n";
    {
      std::lock_guard<std::mutex> hold(m_);
      if (auto it = durations_.find(s.accountName); it != durations_.end()) duration = it->second(start);
      fail = failing_.count(s.accountName) > 0;
      if (auto it = transcripts_.find(s.accountName); it != transcripts_.end()) transcript = it->second;
      if (auto it = onStart_.find(s.accountName); it != onStart_.end()) {
        onStart = std::move(it->second);
        onStart_.erase(it);
      }
    }
    // Runs on the worker while it works, so virtual time stands still.
    if (onStart) onStart();
    if (duration > 0) clock_.SleepMs(duration);
    AccountRunResult r;
    r.ok = !fail;
    if (fail) r.lastError = "Mail Server: -ERR \"bad\" password";
    r.transcript = transcript;
    std::lock_guard<std::mutex> hold(m_);
    runs_.push_back({s.accountName, s.label, start, clock_.NowMs(), r.ok});
    return r;
  }

  // duration as a function of the run's start time.
  void SetDuration(const std::string& name, std::function<int64_t(int64_t)> f) {
    std::lock_guard<std::mutex> hold(m_);
    durations_[name] = std::move(f);
  }
  // Called once, at the start of the account's next run.
  void OnNextStart(const std::string& name, std::function<void()> f) {
    std::lock_guard<std::mutex> hold(m_);
    onStart_[name] = std::move(f);
  }
  void SetFailing(const std::string& name) {
    std::lock_guard<std::mutex> hold(m_);
    failing_.insert(name);
  }
  void SetTranscript(const std::string& name, std::string text) {
    std::lock_guard<std::mutex> hold(m_);
    transcripts_[name] = std::move(text);
  }
  std::vector<RunRecord> Runs(const std::string& name = "") {
    std::lock_guard<std::mutex> hold(m_);
    std::vector<RunRecord> out;
    for (const auto& r : runs_)
      if (name.empty() || r.name == name) out.push_back(r);
    return out;
  }

 private:
  Clock& clock_;
  std::mutex m_;
  std::map<std::string, std::function<int64_t(int64_t)>> durations_;
  std::map<std::string, std::function<void()>> onStart_;
  std::set<std::string> failing_;
  std::map<std::string, std::string> transcripts_;
  std::vector<RunRecord> runs_;
};

class JobRef final : public AccountJob {
 public:
  explicit JobRef(FakeJob& job) : job_(job) {}
  AccountRunResult Run(const AccountSession& s, const ProgressFn& p) override { return job_.Run(s, p); }

 private:
  FakeJob& job_;
};

std::string AccountText(const std::string& name, const std::string& lines) {
  return "BEGIN:" + name + "\r\nServer:mail.example.org\r\nUser:" + name + "\r\nProtocol:0\r\n" + lines +
         "END:" + name + "\r\n";
}

ConfigBlock Parsed(const std::string& text) {
  auto b = ParseConfig(text);
  EXPECT_TRUE(b.has_value());
  return b ? *b : ConfigBlock{};
}

std::string MailPull(int maxThread, int logLevel, const std::string& accounts) {
  return "BEGIN:mailpull\r\nMaxThread:" + std::to_string(maxThread) + "\r\nLogLevel:" + std::to_string(logLevel) +
         "\r\n" + accounts + "END:mailpull\r\n";
}

class Scheduler : public ::testing::Test {
 protected:
  void Start(int workers, int logLevel, const std::string& accounts, Clock* use = nullptr) {
    ASSERT_EQ(MakeFolder(app / "conf"), 0);
    ASSERT_EQ(WriteWholeFile(app / "conf/config.txt",
                             "BEGIN:config\r\n" + MailPull(workers, logLevel, accounts) + "END:config\r\n"),
              0);
    clock.SetParticipants(1 + workers);
    host = std::make_unique<EngineHost>(app.path(), use ? *use : clock, std::make_unique<JobRef>(job));
    ASSERT_TRUE(host->Start());
  }

  void TearDown() override {
    if (!host) return;
    Sched().RequestStop();
    clock.ReleaseAll();
    host.reset();
  }

  PullScheduler& Sched() { return host->Engine().Scheduler(); }
  ConfigStore& Store() { return host->Engine().Config(); }

  // Waits until virtual time has reached ms.
  bool ReachTime(int64_t ms) {
    return test::WaitFor([&] { return clock.NowMs() >= ms; });
  }
  bool WaitRuns(const std::string& name, std::size_t n) {
    return test::WaitFor([&] { return job.Runs(name).size() >= n; });
  }
  std::string LogText(const std::string& file) {
    std::string text;
    ReadWholeFile(app / ("log/" + file), text);
    return text;
  }

  test::ScopedTimeZone zone{"CET-1"};
  test::TempDir app;
  // Machine-wide files (the control socket) stay inside the test's folder.
  test::ScopedSysroot sysroot{app.path()};
  test::FakeClock clock{kStartMs, 1};
  FakeJob job{clock};
  std::unique_ptr<EngineHost> host;
};

TEST_F(Scheduler, FirstPassStaggersAccountsTenSecondsApartAndDueAtOnce) {
  ASSERT_EQ(MakeFolder(app / "log"), 0);
  ASSERT_EQ(WriteWholeFile(app / "log/other.log.txt", "x"), 0);
  // Stored start times are recent, so only the first pass's zeroing makes
  // these accounts due before an hour has gone by.
  const std::string recent = "StartTime:" + std::to_string(kStartSeconds - 5) + "\r\n";
  // Three workers: one is always free while the other two hold a waiting
  // account for their 500 ms, so each account runs within one poll of being
  // queued.
  Start(3, 0,
        AccountText("a", "Active:1\r\nDownloadInterval:60\r\n" + recent) +
            AccountText("b", "Active:1\r\nDownloadInterval:60\r\nUpdate:1\r\n" + recent) +
            AccountText("c", "Active:1\r\nDownloadInterval:60\r\n" + recent));
  ASSERT_TRUE(WaitRuns("c", 1));
  int64_t a = job.Runs("a")[0].startMs, b = job.Runs("b")[0].startMs, c = job.Runs("c")[0].startMs;
  EXPECT_GE(a, kStartMs + 10000);
  EXPECT_LE(a, kStartMs + 10500);
  EXPECT_GE(b - a, 9500);
  EXPECT_LE(b - a, 10500);
  EXPECT_GE(c - a, 19500);
  EXPECT_LE(c - a, 20500);
  // "Update" is cleared on the store, in memory only.
  EXPECT_EQ(Store().GetInteger("config/mailpull/b", "Update", false), 0);
  // The log folder was cleaned at start.
  EXPECT_FALSE(FileExists(app / "log/other.log.txt"));
  // Each account runs once in its hour.
  EXPECT_TRUE(ReachTime(kStartMs + 30 * 60 * 1000));
  EXPECT_EQ(job.Runs().size(), 3u);
}

TEST_F(Scheduler, AccountAddedLaterIsQueuedWithinOnePassWithItsStoredStartTime) {
  const std::string first = AccountText("a", "Active:1\r\nDownloadInterval:60\r\nStartTime:0\r\n");
  Start(3, 0, first);
  ASSERT_TRUE(WaitRuns("a", 1));

  clock.Pause();
  const int64_t t0 = clock.NowMs();
  const int64_t future = t0 / 1000 + 100;
  ASSERT_TRUE(Store().Replace(
      "config/mailpull",
      Parsed(MailPull(3, 0,
                      first + AccountText("late", "Active:1\r\nDownloadInterval:60\r\nStartTime:1\r\n") +
                          AccountText("later", "Active:1\r\nDownloadInterval:1\r\nStartTime:" +
                                                   std::to_string(future) + "\r\n")))));
  clock.Resume();

  // Due at once by its stored time: one scheduler pass plus one worker poll.
  ASSERT_TRUE(WaitRuns("late", 1));
  EXPECT_LE(job.Runs("late")[0].startMs, t0 + 1500);
  // Not zeroed: it waits for its stored time plus one interval.
  ASSERT_TRUE(WaitRuns("later", 1));
  EXPECT_GE(job.Runs("later")[0].startMs, (future + 60) * 1000);
  EXPECT_LE(job.Runs("later")[0].startMs, (future + 61) * 1000);
}

TEST_F(Scheduler, NextRunComesIntervalAfterTheEndOfTheRun) {
  job.SetDuration("a", [](int64_t) { return 7000; });
  Start(2, 0, AccountText("a", "Active:1\r\nDownloadInterval:5\r\nStartTime:0\r\n"));
  ASSERT_TRUE(WaitRuns("a", 4));
  auto runs = job.Runs("a");
  for (std::size_t i = 1; i < runs.size(); ++i) {
    int64_t endSec = runs[i - 1].endMs / 1000, startSec = runs[i].startMs / 1000;
    EXPECT_GE(startSec - endSec, 300) << i;
    EXPECT_LE(startSec - endSec, 302) << i;
  }
}

TEST_F(Scheduler, InactiveAccountCirculatesAndRunsOnceReplacedAsActive) {
  Start(2, 0, AccountText("a", "Active:0\r\nDownloadInterval:1\r\nStartTime:0\r\n"));
  ASSERT_TRUE(ReachTime(kStartMs + 30 * 60 * 1000));
  EXPECT_TRUE(job.Runs().empty());

  clock.Pause();
  const int64_t t0 = clock.NowMs();
  ASSERT_TRUE(Store().Replace("config/mailpull/a",
                              Parsed(AccountText("a", "Active:1\r\nDownloadInterval:1\r\nStartTime:0\r\nUpdate:1\r\n"))));
  clock.Resume();
  // Only the circulating copy can notice the change: the scheduler does not
  // queue a name it already knows.
  ASSERT_TRUE(WaitRuns("a", 2));
  auto runs = job.Runs("a");
  EXPECT_GE(runs[0].startMs, t0);
  EXPECT_LE(runs[0].startMs, t0 + 3000);
  EXPECT_EQ(Store().GetInteger("config/mailpull/a", "Update", false), 0);
  EXPECT_GE(runs[1].startMs / 1000 - runs[0].endMs / 1000, 60);
}

TEST_F(Scheduler, DeletedAccountStopsRunning) {
  const std::string keep = AccountText("keep", "Active:1\r\nDownloadInterval:1\r\nStartTime:0\r\n");
  Start(2, 0, keep + AccountText("gone", "Active:1\r\nDownloadInterval:1\r\nStartTime:0\r\n"));
  ASSERT_TRUE(WaitRuns("gone", 2));

  clock.Pause();
  const int64_t t0 = clock.NowMs();
  ASSERT_TRUE(Store().Replace("config/mailpull", Parsed(MailPull(2, 0, keep))));
  clock.Resume();
  ASSERT_TRUE(ReachTime(t0 + 10 * 60 * 1000));
  for (const auto& r : job.Runs("gone")) EXPECT_LE(r.startMs, t0);
  EXPECT_GE(job.Runs("keep").size(), 10u);
  EXPECT_EQ(Sched().QueueLength() <= 1, true);  // only "keep" circulates
}

TEST_F(Scheduler, BlockWithoutIntervalRunsOnceAndIncompleteBlocksAreDropped) {
  Start(2, 0,
        AccountText("once", "Active:1\r\nStartTime:0\r\n") +
            AccountText("noactive", "DownloadInterval:1\r\nStartTime:0\r\n") +
            AccountText("nostart", "Active:1\r\nDownloadInterval:1\r\n"));
  ASSERT_TRUE(ReachTime(kStartMs + 60 * 60 * 1000));
  EXPECT_EQ(job.Runs("once").size(), 1u);
  EXPECT_EQ(job.Runs("noactive").size(), 0u);
  EXPECT_EQ(job.Runs("nostart").size(), 0u);
  EXPECT_EQ(Sched().QueueLength(), 0u);
}

TEST_F(Scheduler, ReplacedWhileRunningTakesTheNewSettingsAtOnce) {
  job.SetDuration("a", [](int64_t) { return 30000; });
  job.OnNextStart("a", [this] {
    EXPECT_TRUE(Store().Replace(
        "config/mailpull/a",
        Parsed("BEGIN:a\r\nServer:new.example.org\r\nUser:a\r\nProtocol:0\r\nActive:1\r\nDownloadInterval:60\r\n"
               "StartTime:0\r\nUpdate:1\r\nEND:a\r\n")));
  });
  Start(2, 0, AccountText("a", "Active:1\r\nDownloadInterval:60\r\nStartTime:0\r\n"));
  ASSERT_TRUE(WaitRuns("a", 2));
  auto runs = job.Runs("a");
  EXPECT_EQ(runs[0].label, "POP3:mail.example.org#a");
  EXPECT_EQ(runs[1].label, "POP3:new.example.org#a");
  EXPECT_LE(runs[1].startMs - runs[0].endMs, 2000);
  EXPECT_EQ(Store().GetInteger("config/mailpull/a", "Update", false), 0);
  // Then it settles into its interval again.
  ASSERT_TRUE(ReachTime(runs[1].endMs + 30 * 60 * 1000));
  EXPECT_EQ(job.Runs("a").size(), 2u);
}

TEST_F(Scheduler, WorkersAppendingAtOnceNeverInterleave) {
  constexpr int kAccounts = 8;
  std::string accounts;
  for (int i = 0; i < kAccounts; ++i) {
    std::string name = "acct" + std::to_string(i);
    accounts += AccountText(name, "Active:1\r\nStartTime:0\r\n");
    // Every run ends at the same moment, so that all workers append together.
    job.SetDuration(name, [](int64_t start) { return kStartMs + 200000 - start; });
    job.SetTranscript(name, std::string(300000, static_cast<char>('A' + i)) + "\r\n");
  }
  Start(kAccounts, 2, accounts);
  ASSERT_TRUE(ReachTime(kStartMs + 260000));
  ASSERT_EQ(job.Runs().size(), static_cast<std::size_t>(kAccounts));
  std::string log = LogText("20240115.log.txt");
  std::set<char> seen;
  std::size_t pos = 0;
  const std::string rule(68, '=');
  while (pos < log.size()) {
    ASSERT_EQ(log.compare(pos, 7, "\r\n[LOG:"), 0) << "entry starts at " << pos;
    std::size_t head = log.find("\r\n", pos + 2);
    ASSERT_NE(head, std::string::npos);
    ASSERT_EQ(log.compare(head + 2, 70, rule + "\r\n"), 0);
    std::size_t body = head + 72;
    char c = log[body];
    ASSERT_EQ(log.find_first_not_of(c, body), body + 300000);
    ASSERT_EQ(log.compare(body + 300000, 72, "\r\n" + rule + "\r\n"), 0);
    EXPECT_NE(log.substr(pos, head - pos).find("#acct" + std::to_string(c - 'A') + "]"), std::string::npos);
    seen.insert(c);
    pos = body + 300000 + 72;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kAccounts));
}

TEST_F(Scheduler, ReplacementDuringTheFirstPassIsQueuedNotLost) {
  // While "b" waits for its turn in the stagger, it is replaced; the flag
  // cleared for it must not swallow the new settings.
  job.OnNextStart("a", [this] {
    EXPECT_TRUE(Store().Replace("config/mailpull/b",
                                Parsed("BEGIN:b\r\nServer:new.example.org\r\nUser:b\r\nProtocol:0\r\nActive:1\r\n"
                                       "DownloadInterval:60\r\nStartTime:0\r\nUpdate:1\r\nEND:b\r\n")));
  });
  // "a" runs 10 s in, "b" is queued 30 s in: the replacement lands after the
  // pass took its snapshot and before it comes to "b".
  Start(2, 0,
        AccountText("a", "Active:1\r\nDownloadInterval:60\r\nStartTime:0\r\n") +
            AccountText("c", "Active:1\r\nDownloadInterval:60\r\nStartTime:0\r\n") +
            AccountText("b", "Active:1\r\nDownloadInterval:60\r\nStartTime:0\r\nUpdate:1\r\n"));
  ASSERT_TRUE(WaitRuns("b", 1));
  EXPECT_EQ(job.Runs("b")[0].label, "POP3:new.example.org#b");
  EXPECT_EQ(Store().GetInteger("config/mailpull/b", "Update", false), 0);
}

TEST_F(Scheduler, StartTimePast2038KeepsTheInterval) {
  constexpr int64_t k2040Ms = 2208988800LL * 1000;  // 2040-01-01 00:00:00 UTC
  clock.Advance(k2040Ms - kStartMs);
  Start(2, 0, AccountText("a", "Active:1\r\nDownloadInterval:5\r\nStartTime:0\r\n"));
  ASSERT_TRUE(ReachTime(k2040Ms + 30 * 60 * 1000));
  auto runs = job.Runs("a");
  ASSERT_GE(runs.size(), 2u);
  EXPECT_LE(runs.size(), 7u);
  for (std::size_t i = 1; i < runs.size(); ++i) EXPECT_GE(runs[i].startMs - runs[i - 1].endMs, 300000) << i;
}

// Throws from NowMs once, on the thread that armed it: a fault in the worker
// outside the pull job.
class FaultyClock final : public Clock {
 public:
  explicit FaultyClock(Clock& inner) : inner_(inner) {}
  int64_t NowMs() override {
    if (armed_ == CurrentThreadId()) {
      armed_ = 0;
      throw std::runtime_error("clock fault");
    }
    return inner_.NowMs();
  }
  void SleepMs(int64_t ms) override { inner_.SleepMs(ms); }
  void WaitMs(int64_t ms, Wakeup& w, uint64_t seen) override { inner_.WaitMs(ms, w, seen); }
  void Notify(Wakeup& w, bool all) override { inner_.Notify(w, all); }
  void ArmOnThisThread() { armed_ = CurrentThreadId(); }

 private:
  Clock& inner_;
  std::atomic<int32_t> armed_{0};
};

TEST_F(Scheduler, BlockFailingOutsideThePullIsReportedAndRunsAgainAtItsInterval) {
  FaultyClock faulty(clock);
  job.OnNextStart("a", [&] { faulty.ArmOnThisThread(); });
  Start(2, 1, AccountText("a", "Active:1\r\nDownloadInterval:5\r\nStartTime:0\r\n"), &faulty);
  ASSERT_TRUE(WaitRuns("a", 2));
  auto runs = job.Runs("a");
  EXPECT_GE(runs[1].startMs - runs[0].endMs, 300000);
  EXPECT_LE(runs[1].startMs - runs[0].endMs, 302000);
  EXPECT_NE(LogText("20240115.log.txt").find("[LOG:POP3:mail.example.org#a]"), std::string::npos);
  EXPECT_NE(LogText("20240115.log.txt").find("set aside after an internal error (clock fault)"), std::string::npos);
  TearDown();  // the engine goes before the clock it uses
}

TEST_F(Scheduler, QueuedBlockRunsAtOnceAndManyAccountsKeepTheirInterval) {
  Start(1, 0, "");
  ASSERT_TRUE(ReachTime(kStartMs + 60000));
  // A block queued from outside (as the control server does) wakes the idle
  // worker at once, without waiting for its poll.
  clock.Pause();
  int64_t t0 = clock.NowMs();
  Sched().Enqueue(Parsed(AccountText("now", "Active:1\r\n")));
  clock.Resume();
  ASSERT_TRUE(WaitRuns("now", 1));
  EXPECT_EQ(job.Runs("now")[0].startMs, t0);

  // One worker keeps 60 accounts of one minute each exactly on time: a
  // block that is not due costs no poll.
  std::string accounts;
  for (int i = 0; i < 60; ++i)
    accounts += AccountText("m" + std::to_string(i), "Active:1\r\nDownloadInterval:1\r\nStartTime:0\r\n");
  clock.Pause();
  ASSERT_TRUE(Store().Replace("config/mailpull", Parsed(MailPull(1, 0, accounts))));
  t0 = clock.NowMs();
  clock.Resume();
  ASSERT_TRUE(ReachTime(t0 + 4 * 60 * 1000));
  for (int i = 0; i < 60; ++i) {
    auto runs = job.Runs("m" + std::to_string(i));
    ASSERT_GE(runs.size(), 3u) << i;
    for (std::size_t k = 1; k < runs.size(); ++k) {
      EXPECT_GE(runs[k].startMs / 1000 - runs[k - 1].endMs / 1000, 60) << i;
      EXPECT_LE(runs[k].startMs - runs[k - 1].endMs, 61500) << i;
    }
  }
}

// One worker's handling of a block, driven from the test's own thread.
class Worker : public ::testing::Test {
 protected:
  void Make(const std::string& mailpullLines) {
    ASSERT_EQ(MakeFolder(app / "conf"), 0);
    ASSERT_EQ(MakeFolder(app / "log"), 0);
    ASSERT_EQ(MakeFolder(app / "pull"), 0);
    ASSERT_EQ(WriteWholeFile(app / "conf/config.txt",
                             "BEGIN:config\r\nBEGIN:mailpull\r\n" + mailpullLines + "END:mailpull\r\nEND:config\r\n"),
              0);
    engine = std::make_unique<EngineContext>(app.path(), clock, std::make_unique<JobRef>(job));
  }
  void TearDown() override {
    if (!engine) return;
    engine->Scheduler().RequestStop();
    clock.ReleaseAll();
    engine.reset();
  }
  std::string LogText(const std::string& file) {
    std::string text;
    ReadWholeFile(app / ("log/" + file), text);
    return text;
  }
  PullScheduler& Sched() { return engine->Scheduler(); }

  test::ScopedTimeZone zone{"CET-1"};
  test::TempDir app;
  test::FakeClock clock{kStartMs, 1};
  FakeJob job{clock};
  std::unique_ptr<EngineContext> engine;
};

TEST_F(Worker, StatusLinesAreQuotedAndReportedLastFirst) {
  Make("");
  int32_t first = 0, second = 0;
  std::thread([&] {
    first = CurrentThreadId();
    Sched().SetStatus("N\\A", "Idle");
    Sched().SetStatus("POP3:h#\"u\"", "Connecting Server ...");  // replaces this thread's line
  }).join();
  std::thread([&] {
    second = CurrentThreadId();
    Sched().SetStatus("IMAP4: h#u", "say \"hi\"");
  }).join();
  EXPECT_EQ(Sched().StatusReport(), std::to_string(second) + ",\"IMAP4: h#u\",\"say 'hi'\"\r\n" +
                                        std::to_string(first) + ",\"POP3:h#'u'\",\"Connecting Server ...\"\r\n");
}

class WorkerLogLevel : public Worker, public ::testing::WithParamInterface<int> {};

TEST_P(WorkerLogLevel, FailedRunSetsTheErrorAsStatusAndIsLoggedFromLevelOne) {
  const int level = GetParam();
  Make("LogLevel:" + std::to_string(level) + "\r\n");
  job.SetFailing("bad");
  ConfigBlock bad = Parsed(AccountText("bad", "Active:1\r\n"));
  ConfigBlock good = Parsed(AccountText("good", "Active:1\r\n"));
  EXPECT_EQ(Sched().RunAccount(bad), 1);
  std::string report = Sched().StatusReport();
  EXPECT_NE(report.find(",\"POP3:mail.example.org#bad\",\"Mail Server: -ERR 'bad' password\"\r\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(Sched().RunAccount(good), 1);
  EXPECT_NE(Sched().StatusReport().find(",\"POP3:mail.example.org#good\",\"Completed\"\r\n"), std::string::npos);
  // Neither block has an interval: neither goes back into the queue.
  EXPECT_EQ(Sched().QueueLength(), 0u);
  std::string log = LogText("20240115.log.txt");
  EXPECT_EQ(log.find("#bad]") != std::string::npos, level >= 1);
  EXPECT_EQ(log.find("#good]") != std::string::npos, level >= 2);
}

INSTANTIATE_TEST_SUITE_P(Levels, WorkerLogLevel, ::testing::Values(0, 1, 2, -1));

TEST_F(Worker, EntriesGoToTheFileOfTheLocalDayTheRunEnded) {
  Make("LogLevel:2\r\n");
  // Runs that end at 23:59:59 and at 00:00:01, local time.
  job.SetDuration("late", [](int64_t start) { return (kStartSeconds + 599) * 1000 - start; });
  job.SetDuration("early", [](int64_t start) { return (kStartSeconds + 601) * 1000 - start; });
  job.SetTranscript("late", "C: QUIT\r\nS: +OK\r\n");
  ConfigBlock late = Parsed(AccountText("late", "Active:1\r\n"));
  ConfigBlock early = Parsed(AccountText("early", "Active:1\r\n"));
  EXPECT_EQ(Sched().RunAccount(late), 1);
  EXPECT_EQ(Sched().RunAccount(early), 1);
  const std::string rule(68, '=');
  EXPECT_EQ(LogText("20240115.log.txt"),
            "\r\n[LOG:POP3:mail.example.org#late] - 2024-01-15 23:59:59\r\n" + rule + "\r\nC: QUIT\r\nS: +OK\r\n" +
                rule + "\r\n");
  EXPECT_EQ(LogText("20240116.log.txt"), "\r\n[LOG:POP3:mail.example.org#early] - 2024-01-16 00:00:01\r\n" + rule +
                                             "\r\nC: USER early\r\nS: +OK\r\n" + rule + "\r\n");
}

TEST_F(Worker, HugeIntervalDoesNotWrapIntoAlwaysDue) {
  Make("");
  ConfigBlock b = Parsed(AccountText(
      "a", "Active:1\r\nDownloadInterval:40000000\r\nStartTime:" + std::to_string(kStartSeconds - 10) + "\r\n"));
  ASSERT_TRUE(engine->Config().Replace(
      "config/mailpull", Parsed("BEGIN:mailpull\r\n" + SerializeConfig(b) + "END:mailpull\r\n")));
  EXPECT_EQ(Sched().RunAccount(b), 0);
  EXPECT_TRUE(job.Runs().empty());
  EXPECT_EQ(Sched().QueueLength(), 1u);  // waiting, back in the queue
}

TEST_F(Worker, AccountNameThatCannotNameAFolderFailsWithoutAPull) {
  Make("LogLevel:1\r\n");
  ConfigBlock b = Parsed(AccountText("..", "Active:1\r\n"));
  EXPECT_EQ(Sched().RunAccount(b), 1);
  EXPECT_TRUE(job.Runs().empty());
  EXPECT_NE(Sched().StatusReport().find("NativeErrorCode: 123"), std::string::npos);
  EXPECT_NE(LogText("20240115.log.txt").find("NativeErrorCode: 123"), std::string::npos);
}

TEST_F(Worker, MaxThreadIsClampedAndWorkersStartOnce) {
  struct {
    const char* config;
    int32_t expected;
  } cases[] = {
      {"BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:100\r\nEND:mailpull\r\nEND:config\r\n", 64},
      {"BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:0\r\nEND:mailpull\r\nEND:config\r\n", 1},
      {"BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:-4\r\nEND:mailpull\r\nEND:config\r\n", 1},
      {"BEGIN:config\r\nBEGIN:mailpull\r\nEND:mailpull\r\nEND:config\r\n", 1},
      {"BEGIN:config\r\nMaxThread:3\r\nBEGIN:mailpull\r\nEND:mailpull\r\nEND:config\r\n", 3},  // inherited
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    test::TempDir dir;
    test::FakeClock frozen{kStartMs, 1000};  // time never moves
    ASSERT_EQ(MakeFolder(dir / "conf"), 0);
    ASSERT_EQ(WriteWholeFile(dir / "conf/config.txt", c.config), 0);
    auto ctx = std::make_unique<EngineContext>(dir.path(), frozen, std::make_unique<JobRef>(job));
    EXPECT_EQ(ctx->Scheduler().WorkerLimit(), 20);
    ctx->Scheduler().StartWorkers();
    ctx->Scheduler().StartWorkers();
    EXPECT_EQ(ctx->Scheduler().StartedWorkers(), c.expected);
    EXPECT_EQ(ctx->Scheduler().WorkerLimit(), c.expected);
    ctx->Scheduler().RequestStop();
    frozen.ReleaseAll();
  }
}

}  // namespace
}  // namespace tarnwick
