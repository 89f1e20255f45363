// The job queue of account blocks, the scheduler thread that fills it and the
// pull workers that empty it.
//
// Every account circulates as an owned copy of its block: the scheduler
// queues each account once, and a worker that takes a block either drops it
// (deleted or incomplete account), swaps it for the store's new version
// (replaced account), puts it back (inactive or not yet due), or runs the
// pull and puts it back with "StartTime" set to the end of the run.
//
// Locking: one mutex guards the queue, the worker status table and every
// append to the activity log. It is never held across a pull, a sleep or a
// configuration read; the configuration is read through snapshots.
#pragma once

#include "config/ConfigBlock.h"
#include "engine/ActivityLog.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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

  // Appends a deep copy of block to the job queue; the caller keeps block.
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
  void RequestStop() { stop_.store(true); }

  std::mutex& Lock() { return lock_; }
  ActivityLog& Log() { return log_; }
  int32_t StartedWorkers();
  int32_t WorkerLimit();
  std::size_t QueueLength();

 private:
  void SchedulerLoop();
  void WorkerLoop();
  bool Stopping() const { return stop_.load(); }

  EngineContext& engine_;
  std::mutex lock_;
  std::deque<ConfigBlock> queue_;
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
