#include "engine/PullScheduler.h"

#include "engine/AccountSettings.h"
#include "engine/EngineContext.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <algorithm>
#include <climits>
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

// "StartTime" holds the time in seconds as a 64-bit decimal, so that it stays
// right past 2038; the values of older files read the same.
std::string TimeValue(int64_t seconds) { return std::to_string(seconds); }

// A decimal in 64 bits with the rules of ConfigInt: leading blanks, a sign,
// digits up to the first other character; out-of-range values stick at the
// nearest limit.
int64_t ConfigInt64(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t n = 0;  // accumulated as a negative number so that INT64_MIN fits
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const int digit = value[i] - '0';
    if (n < (INT64_MIN + digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    n = n * 10 - digit;
  }
  if (negative) return n;
  return n == INT64_MIN ? INT64_MAX : -n;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The moment in milliseconds at which an account that last started at
// startSeconds is due again after periodSeconds; kNever past the range.
int64_t DueMs(int64_t startSeconds, int64_t periodSeconds) {
  constexpr int64_t kLimit = INT64_MAX / 1000 - 1;
  if (startSeconds > kLimit - periodSeconds) return INT64_MAX;
  return (startSeconds + periodSeconds) * 1000;
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

void PullScheduler::RequestStop() {
  stop_.store(true);
  engine_.GetClock().Notify(wake_, true);
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
  return queue_.size() + parked_.size();
}

void PullScheduler::Enqueue(const ConfigBlock& block) {
  // The copy is made by writing the block out and reading it back, so that it
  // shares nothing with the caller's block.
  std::optional<ConfigBlock> copy = ParseConfig(SerializeConfig(block));
  if (!copy) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    try {
      queue_.push_back(std::move(*copy));
    } catch (const std::bad_alloc&) {
      // A queue that cannot grow drops the block.
      return;
    }
  }
  engine_.GetClock().Notify(wake_);
}

void PullScheduler::Park(ConfigBlock block, int64_t dueMs) {
  bool first = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    try {
      auto it = parked_.emplace(dueMs, std::move(block));
      first = it == parked_.begin() && dueMs != kNever;
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  // A new earliest time: the worker waiting for the old one must look again.
  if (first) engine_.GetClock().Notify(wake_, true);
}

void PullScheduler::PromoteDue(int64_t nowMs) {
  while (!parked_.empty() && parked_.begin()->first <= nowMs) {
    queue_.push_back(std::move(parked_.begin()->second));
    parked_.erase(parked_.begin());
  }
}

void PullScheduler::WakeAccounts(const std::unordered_set<std::string>& names) {
  if (names.empty()) return;
  bool moved = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = parked_.begin(); it != parked_.end();) {
      if (names.count(Lower(it->second.name))) {
        queue_.push_back(std::move(it->second));
        it = parked_.erase(it);
        moved = true;
      } else {
        ++it;
      }
    }
  }
  if (moved) engine_.GetClock().Notify(wake_, true);
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
  // Lower-case names of the accounts of the previous snapshot.
  std::unordered_set<std::string> known;

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
      known.clear();
      clock.SleepMs(kNoConfigPollMs);
      continue;
    }

    if (!previous) {
      // First sight of the account list: every account is due at once, and
      // the accounts start 10 s apart so that they do not all connect at the
      // same moment.
      for (ConfigBlock& account : current->children) {
        clock.SleepMs(kStaggerMs);
        if (Stopping()) return;
        if (account.Entry("Update")) {
          // The account's block is copied in the same hold of the store that
          // clears its "Update", so that a replacement made since the
          // snapshot (or while the flag is cleared) is queued, not lost.
          if (std::optional<ConfigBlock> live = store.TakeUpdate(LivePath(account))) account = std::move(*live);
          account.Set("Update", "0");
        }
        if (account.Entry("StartTime")) account.Set("StartTime", "0");
        Enqueue(account);
      }
      known.clear();
      for (const ConfigBlock& account : current->children) known.insert(Lower(account.name));
    } else {
      // Later passes queue only the accounts that have appeared since; those
      // that went away are dropped by the workers. Parked blocks of accounts
      // replaced or deleted since are woken, so that a worker sees the change
      // now rather than at their due time.
      std::unordered_set<std::string> names, changed;
      for (const ConfigBlock& account : current->children) {
        std::string name = Lower(account.name);
        if (!known.count(name))
          Enqueue(account);
        else if (NonZero(account, "Update"))
          changed.insert(name);
        names.insert(std::move(name));
      }
      for (const std::string& name : known)
        if (!names.count(name)) changed.insert(name);
      WakeAccounts(changed);
      known = std::move(names);
    }
    previous = std::move(current);
    clock.SleepMs(kPollMs);
  }
}

void PullScheduler::WorkerLoop() {
  Clock& clock = engine_.GetClock();
  SetStatus(kIdleLabel, "Idle");
  int64_t lastActivity = clock.NowSeconds();

  // Whether this worker is the one waiting for the first parked block.
  bool timer = false;
  while (!Stopping()) {
    std::optional<ConfigBlock> block;
    int64_t waitMs = kPollMs;
    uint64_t seen = 0;
    bool passOn = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      const int64_t now = clock.NowMs();
      PromoteDue(now);
      if (!queue_.empty()) {
        block = std::move(queue_.front());
        queue_.pop_front();
        // Another worker takes over what this one leaves: the rest of the
        // queue, or the wait for the next parked block.
        passOn = !queue_.empty() || (timer && !parked_.empty());
        if (timer) timerTaken_ = timer = false;
      } else {
        seen = wake_.generation.load();
        if (!timer && !timerTaken_ && !parked_.empty()) timerTaken_ = timer = true;
        if (timer && parked_.empty()) timerTaken_ = timer = false;
        if (timer) waitMs = std::clamp<int64_t>(parked_.begin()->first - now, 1, kPollMs);
      }
    }
    if (block) {
      if (passOn) clock.Notify(wake_);
      // Nothing one account does may end the worker; a block whose handling
      // failed this way is set aside until its next interval.
      std::string label;
      try {
        if (RunAccount(*block, label) == 1) lastActivity = clock.NowSeconds();
      } catch (const std::exception& e) {
        SetAside(*block, label, e.what());
      } catch (...) {
        SetAside(*block, label, "unknown exception");
      }
    } else {
      clock.WaitMs(waitMs, wake_, seen);
    }
    if (clock.NowSeconds() - lastActivity > kIdleRefreshSeconds) {
      SetStatus(kIdleLabel, "Idle");
      lastActivity = clock.NowSeconds();
    }
  }
}

void PullScheduler::SetAside(ConfigBlock& block, const std::string& label, const char* what) {
  try {
    Clock& clock = engine_.GetClock();
    const std::string shown = label.empty() ? block.name : label;
    const ConfigEntry* interval = block.Entry("DownloadInterval");
    const int64_t period = interval ? static_cast<int64_t>(ConfigInt(interval->value)) * 60 : 0;
    const std::string text = std::string("The account was set aside after an internal error (") + what + "); " +
                             (interval ? "it runs again after its interval." : "it does not run again.");
    SetStatus(shown, text);
    const int64_t now = clock.NowSeconds();
    if (ActivityLog::Wanted(engine_.Config().GetInteger(kMailPull, "LogLevel", false), true))
      log_.Append(ActivityLog::Entry(shown, LocalTime(now), text + "\r\n"));
    if (interval && block.Entry("StartTime")) {
      block.Set("StartTime", TimeValue(now));
      Park(std::move(block), DueMs(now, period));
    }
  } catch (...) {
    // Out of memory even for this: the block is lost until the next start.
  }
}

int PullScheduler::RunAccount(ConfigBlock& block) {
  std::string label;
  return RunAccount(block, label);
}

int PullScheduler::RunAccount(ConfigBlock& block, std::string& label) {
  Clock& clock = engine_.GetClock();
  ConfigStore& store = engine_.Config();
  const std::string livePath = LivePath(block);
  bool scheduled = false;

  if (const ConfigEntry* interval = block.Entry("DownloadInterval")) {
    {
      std::optional<ConfigBlock> live = store.Snapshot(livePath);
      if (!live) return 0;  // deleted: the block leaves the rotation
      if (NonZero(*live, "Update")) {
        // Replaced: the new settings circulate from now on. The copy is taken
        // in the same hold that clears the flag, so that a later replacement
        // keeps its flag and is taken in turn.
        std::optional<ConfigBlock> taken = store.TakeUpdate(livePath);
        if (!taken) return 0;
        if (NonZero(*taken, "Update")) {
          taken->Set("Update", "0");
          Enqueue(*taken);
          return 0;
        }
      }
    }
    const ConfigEntry* active = block.Entry("Active");
    if (!active) return 0;  // incomplete: dropped
    if (ConfigInt(active->value) == 0) {
      Park(std::move(block), kNever);  // until the account is replaced or deleted
      return 0;
    }
    const ConfigEntry* startEntry = block.Entry("StartTime");
    if (!startEntry) return 0;  // incomplete: dropped
    const int64_t start = ConfigInt64(startEntry->value);
    const int64_t now = clock.NowSeconds();
    // Minutes times 60 in 64 bits: a huge interval must not wrap round into
    // "always due".
    const int64_t period = static_cast<int64_t>(ConfigInt(interval->value)) * 60;
    if (start >= 1 && now - start < period) {
      Park(std::move(block), DueMs(start, period));
      return 0;
    }
    block.Set("StartTime", TimeValue(now));
    scheduled = true;
  }
  // Without "DownloadInterval" the block runs once and is not queued again.

  AccountSession session = BuildSession(block, engine_.ApplicationFolder());
  label = session.label;
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
    const int64_t end = clock.NowSeconds();
    block.Set("StartTime", TimeValue(end));
    const int64_t period = static_cast<int64_t>(ConfigInt(block.Entry("DownloadInterval")->value)) * 60;
    std::optional<ConfigBlock> live = store.Snapshot(livePath);
    if (live && NonZero(*live, "Update")) live = store.TakeUpdate(livePath);
    if (live && NonZero(*live, "Update")) {
      // Replaced while it ran: the new settings take over and run at once.
      live->Set("Update", "0");
      if (live->Entry("StartTime")) live->Set("StartTime", "0");
      Enqueue(*live);
    } else if (live) {
      Park(std::move(block), DueMs(end, period));
    }
  }
  return 1;
}

}  // namespace tarnwick
