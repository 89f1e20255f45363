// The job queue of account blocks, the scheduler thread that fills it and the
// pull workers that empty it.
//
// Every account circulates as an owned copy of its block: the scheduler
// queues each account once, and a worker that takes a block either drops it
// (deleted or incomplete account), swaps it for the store's new version
// (replaced account), puts it back (inactive or not yet due), or runs the
// pull and puts it back with "StartTime" set to the end of the run.
//
// A block put back that is not yet due is parked until the moment its account
// becomes due (an inactive one until its account changes): one idle worker
// waits for the earliest such moment, the others wait for a block to be
// queued and are woken when one is. The scheduler's pass wakes the parked
// blocks of accounts that were replaced or deleted, so that a change is seen
// as soon as before. The 500 ms polls remain as upper bounds of every wait.
//
// Locking: one mutex guards the queue, the worker status table and every
// append to the activity log. It is never held across a pull, a sleep or a
// configuration read; the configuration is read through snapshots.
#pragma once

#include "config/ConfigBlock.h"
#include "engine/ActivityLog.h"
#include "platform/Clock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace tarnwick {

class EngineContext;

class PullScheduler {
 public:
  static constexpr int32_t kMaxWorkers = 64;

  explicit PullScheduler(EngineContext& engine);
  // Stops and joins every thread (see RequestStop). The engine itself never
  // stops its scheduler; tests do.
  ~PullScheduler();
  PullScheduler(const PullScheduler&) = delete;
  PullScheduler& operator=(const PullScheduler&) = delete;

  // Starts the scheduler thread once; false when it is already running or
  // could not be started.
  bool StartScheduler();
  // Starts "MaxThread" workers (read with inherit, clamped to 1..64), once.
  void StartWorkers();

  // Appends a deep copy of block to the job queue and wakes a waiting worker;
  // the caller keeps block.
  void Enqueue(const ConfigBlock& block);
  // Stores the calling thread's status line
  //   "<label>","<status>"\r\n
  // with every double quote in label and status turned into a single quote.
  void SetStatus(std::string_view label, std::string_view status);
  // One "<thread id>,<status line>" per worker, the last entry first.
  std::string StatusReport();

  // Decides what happens to one block taken from the queue and runs the pull
  // when it is due. 1 when a pull ran, else 0.
  int RunAccount(ConfigBlock& block);

  // Asks every thread to end at its next poll; the destructor joins them.
  // A clock whose sleeps do not end on their own must let them go too.
  void RequestStop();

  std::mutex& Lock() { return lock_; }
  ActivityLog& Log() { return log_; }
  int32_t StartedWorkers();
  int32_t WorkerLimit();
  // Blocks in the queue, parked ones included.
  std::size_t QueueLength();

 private:
  static constexpr int64_t kNever = INT64_MAX;

  void SchedulerLoop();
  void WorkerLoop();
  bool Stopping() const { return stop_.load(); }
  int RunAccount(ConfigBlock& block, std::string& label);
  // Puts block back to be looked at again at dueMs (kNever: only when its
  // account changes).
  void Park(ConfigBlock block, int64_t dueMs);
  // Moves the parked blocks due by nowMs to the end of the queue (lock held).
  void PromoteDue(int64_t nowMs);
  // Moves the parked blocks of these accounts (lower-case names) to the queue.
  void WakeAccounts(const std::unordered_set<std::string>& names);
  // After an exception while handling block: says so in the status line and
  // the activity log and puts the block back for its next interval.
  void SetAside(ConfigBlock& block, const std::string& label, const char* what);

  EngineContext& engine_;
  std::mutex lock_;
  std::deque<ConfigBlock> queue_;
  // Parked blocks by the time they are due; equal times keep their order.
  std::multimap<int64_t, ConfigBlock> parked_;
  // Whether an idle worker already waits for the first parked block's time.
  bool timerTaken_ = false;
  // Wakes workers waiting for the queue (moved on by every append).
  Wakeup wake_;
  // The WorkerStatus table: thread ids and their lines, never shrinking.
  std::vector<int32_t> statusIds_;
  std::vector<std::string> statusLines_;
  ActivityLog log_;
  int32_t startedWorkers_ = 0;
  int32_t workerLimit_ = 20;
  bool workersStarted_ = false;

  std::atomic<bool> stop_{false};
  // Started and joined by the owning thread only.
  std::thread scheduler_;
  std::vector<std::thread> workers_;
};

}  // namespace tarnwick
