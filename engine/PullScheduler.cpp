#include "engine/PullScheduler.h"

#include "engine/AccountSettings.h"
#include "engine/EngineContext.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <cstdio>
#include <optional>
#include <system_error>

namespace tarnwick {

namespace {

constexpr std::string_view kMailPull = "config/mailpull";
constexpr std::string_view kIdleLabel = "N\\A";

constexpr int64_t kNoConfigPollMs = 100;
constexpr int64_t kPollMs = 500;
constexpr int64_t kStaggerMs = 10000;
constexpr int64_t kFailurePauseMs = 1000;
constexpr int64_t kAfterRunPauseMs = 200;
constexpr int64_t kIdleRefreshSeconds = 60;
constexpr int64_t kCleanupSeconds = 86400;
// A thread that cannot be started is tried this many times, kRetryMs apart.
constexpr int kStartAttempts = 5;
constexpr int64_t kRetryMs = 100;

// "StartTime" holds the low 32 bits of the time, written "%d".
std::string TimeValue(int64_t seconds) {
  return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds))));
}

bool NonZero(const ConfigBlock& b, std::string_view key) {
  const ConfigEntry* e = b.Entry(key);
  return e && ConfigInt(e->value) != 0;
}

std::string Unquoted(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '"') c = '\'';
  return out;
}

std::string NativeError(int code) {
  return "NativeErrorCode: " + std::to_string(code) + SystemMessage(code) + "\r\n";
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string LivePath(const ConfigBlock& block) { return std::string(kMailPull) + "/" + block.name; }

}  // namespace

PullScheduler::PullScheduler(EngineContext& engine)
    : engine_(engine), log_(JoinPath(engine.ApplicationFolder(), "log"), lock_, engine.GetClock()) {}

PullScheduler::~PullScheduler() {
  RequestStop();
  if (scheduler_.joinable()) scheduler_.join();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
}

int32_t PullScheduler::StartedWorkers() {
  std::lock_guard<std::mutex> hold(lock_);
  return startedWorkers_;
}

int32_t PullScheduler::WorkerLimit() {
  std::lock_guard<std::mutex> hold(lock_);
  return workerLimit_;
}

std::size_t PullScheduler::QueueLength() {
  std::lock_guard<std::mutex> hold(lock_);
  return queue_.size();
}

void PullScheduler::Enqueue(const ConfigBlock& block) {
  // The copy is made by writing the block out and reading it back, so that it
  // shares nothing with the caller's block.
  std::optional<ConfigBlock> copy = ParseConfig(SerializeConfig(block));
  if (!copy) return;
  std::lock_guard<std::mutex> hold(lock_);
  try {
    queue_.push_back(std::move(*copy));
  } catch (const std::bad_alloc&) {
    // A queue that cannot grow drops the block.
  }
}

void PullScheduler::SetStatus(std::string_view label, std::string_view status) {
  std::string line = "\"" + Unquoted(label) + "\",\"" + Unquoted(status) + "\"\r\n";
  const int32_t id = CurrentThreadId();
  std::lock_guard<std::mutex> hold(lock_);
  for (std::size_t i = 0; i < statusIds_.size(); ++i) {
    if (statusIds_[i] == id) {
      statusLines_[i] = std::move(line);
      return;
    }
  }
  statusIds_.push_back(id);
  statusLines_.push_back(std::move(line));
}

std::string PullScheduler::StatusReport() {
  std::lock_guard<std::mutex> hold(lock_);
  std::string out;
  out.reserve(256 * statusIds_.size());
  for (std::size_t i = statusIds_.size(); i-- > 0;) {
    char id[16];
    std::snprintf(id, sizeof id, "%d,", statusIds_[i]);
    out += id;
    out += statusLines_[i];
  }
  return out;
}

bool PullScheduler::StartScheduler() {
  if (scheduler_.joinable()) return false;
  try {
    scheduler_ = std::thread([this] { SchedulerLoop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void PullScheduler::StartWorkers() {
  int32_t limit = engine_.Config().GetInteger(kMailPull, "maxthread", true);
  if (limit < 1) limit = 1;
  if (limit > kMaxWorkers) limit = kMaxWorkers;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (workersStarted_) return;
    workersStarted_ = true;
    workerLimit_ = limit;
  }
  // Threads are started outside the lock, because a failed start waits before
  // it tries again; only the count is shared.
  int failures = 0;
  while (static_cast<int32_t>(workers_.size()) < limit && failures < kStartAttempts) {
    try {
      workers_.emplace_back([this] { WorkerLoop(); });
      failures = 0;
      std::lock_guard<std::mutex> hold(lock_);
      ++startedWorkers_;
    } catch (const std::system_error&) {
      ++failures;
      engine_.GetClock().SleepMs(kRetryMs);
    }
  }
}

void PullScheduler::SchedulerLoop() {
  Clock& clock = engine_.GetClock();
  ConfigStore& store = engine_.Config();

  // No worker appends yet, so the first cleanup needs no lock.
  log_.Cleanup(clock.NowSeconds());
  int64_t lastCleanup = 0;
  std::optional<ConfigBlock> previous;

  while (!Stopping()) {
    const int64_t now = clock.NowSeconds();
    if (now - lastCleanup > kCleanupSeconds) {
      std::lock_guard<std::mutex> hold(lock_);
      log_.Cleanup(now);
      lastCleanup = now;
    }

    std::optional<ConfigBlock> current = store.Snapshot("config/MailPull");
    if (!current) {
      previous.reset();
      clock.SleepMs(kNoConfigPollMs);
      continue;
    }

    if (!previous) {
      // First sight of the account list: every account is due at once, and
      // the accounts start 10 s apart so that they do not all connect at the
      // same moment.
      for (ConfigBlock& account : current->children) {
        if (account.Entry("StartTime")) account.Set("StartTime", "0");
        if (account.Entry("Update")) {
          store.ClearUpdate(LivePath(account));
          account.Set("Update", "0");
        }
        clock.SleepMs(kStaggerMs);
        if (Stopping()) return;
        Enqueue(account);
      }
    } else {
      // Later passes queue only the accounts that have appeared since; those
      // that went away are dropped by the workers.
      for (const ConfigBlock& account : current->children) {
        bool known = false;
        for (const ConfigBlock& old : previous->children)
          if (SameName(old.name, account.name)) known = true;
        if (!known) Enqueue(account);
      }
    }
    previous = std::move(current);
    clock.SleepMs(kPollMs);
  }
}

void PullScheduler::WorkerLoop() {
  Clock& clock = engine_.GetClock();
  SetStatus(kIdleLabel, "Idle");
  int64_t lastActivity = clock.NowSeconds();

  while (!Stopping()) {
    std::optional<ConfigBlock> block;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!queue_.empty()) {
        block = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (block) {
      // Nothing one account does may end the worker; a block whose handling
      // failed this way is dropped.
      try {
        if (RunAccount(*block) == 1) lastActivity = clock.NowSeconds();
      } catch (...) {
      }
    } else {
      clock.SleepMs(kPollMs);
    }
    if (clock.NowSeconds() - lastActivity > kIdleRefreshSeconds) {
      SetStatus(kIdleLabel, "Idle");
      lastActivity = clock.NowSeconds();
    }
  }
}

int PullScheduler::RunAccount(ConfigBlock& block) {
  Clock& clock = engine_.GetClock();
  ConfigStore& store = engine_.Config();
  const std::string livePath = LivePath(block);
  bool scheduled = false;

  if (const ConfigEntry* interval = block.Entry("DownloadInterval")) {
    {
      std::optional<ConfigBlock> live = store.Snapshot(livePath);
      if (!live) {  // deleted: the block leaves the rotation
        clock.SleepMs(kPollMs);
        return 0;
      }
      if (NonZero(*live, "Update")) {  // replaced: the new settings circulate from now on
        store.ClearUpdate(livePath);
        live->Set("Update", "0");
        clock.SleepMs(kPollMs);
        Enqueue(*live);
        return 0;
      }
    }
    const ConfigEntry* active = block.Entry("Active");
    if (!active) return 0;  // incomplete: dropped
    if (ConfigInt(active->value) == 0) {
      clock.SleepMs(kPollMs);
      Enqueue(block);
      return 0;
    }
    const ConfigEntry* startEntry = block.Entry("StartTime");
    if (!startEntry) return 0;  // incomplete: dropped
    const int64_t start = ConfigInt(startEntry->value);
    const int64_t now = clock.NowSeconds();
    // Minutes times 60 in 64 bits: a huge interval must not wrap round into
    // "always due".
    const int64_t period = static_cast<int64_t>(ConfigInt(interval->value)) * 60;
    if (start >= 1 && now - start < period) {
      clock.SleepMs(kPollMs);
      Enqueue(block);
      return 0;
    }
    block.Set("StartTime", TimeValue(now));
    scheduled = true;
  }
  // Without "DownloadInterval" the block runs once and is not queued again.

  AccountSession session = BuildSession(block, engine_.ApplicationFolder());
  SetStatus(session.label, "Connecting Server ...");
  AccountRunResult result;
  if (session.workFolder.empty()) {
    result.lastError = NativeError(session.workFolderError);
    result.transcript = result.lastError;
  } else {
    ProgressFn progress = [this](const std::string& label, const std::string& text) { SetStatus(label, text); };
    try {
      result = engine_.Job().Run(session, progress);
    } catch (...) {
      result = AccountRunResult{};
      result.lastError = "The pull job ended unexpectedly.";
    }
  }
  const std::tm ended = LocalTime(clock.NowSeconds());

  if (!result.ok) {
    SetStatus(session.label, result.lastError);
    clock.SleepMs(kFailurePauseMs);
  }
  if (ActivityLog::Wanted(store.GetInteger(kMailPull, "LogLevel", false), !result.ok))
    log_.Append(ActivityLog::Entry(session.label, ended, result.transcript));

  clock.SleepMs(kAfterRunPauseMs);
  if (result.ok) SetStatus(session.label, "Completed");

  if (scheduled) {
    // The next interval counts from the end of this run.
    block.Set("StartTime", TimeValue(clock.NowSeconds()));
    std::optional<ConfigBlock> live = store.Snapshot(livePath);
    if (live) {
      if (NonZero(*live, "Update")) {
        // Replaced while it ran: the new settings take over and run at once.
        store.ClearUpdate(livePath);
        live->Set("Update", "0");
        if (live->Entry("StartTime")) live->Set("StartTime", "0");
        Enqueue(*live);
      } else {
        Enqueue(block);
      }
    }
  }
  return 1;
}

}  // namespace tarnwick
