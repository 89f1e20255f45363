// The engine's shared objects: the configuration store, the pull scheduler
// with its workers, and the list of pending account tests. One per process,
// owned by the EngineHost.
#pragma once

#include "config/ConfigStore.h"
#include "engine/AccountJob.h"
#include "engine/PullScheduler.h"
#include "engine/TestRun.h"
#include "platform/Clock.h"

#include <memory>
#include <mutex>
#include <string>

namespace tarnwick {

class EngineContext {
 public:
  // Loads <applicationFolder>/conf/config.txt. clock serves every "time now"
  // and sleep of the scheduler and workers; job runs each pull (the engine's
  // own when none is given).
  explicit EngineContext(std::string applicationFolder, Clock& clock = SystemClock(),
                         std::unique_ptr<AccountJob> job = nullptr);
  EngineContext(const EngineContext&) = delete;
  EngineContext& operator=(const EngineContext&) = delete;

  const std::string& ApplicationFolder() const { return appFolder_; }
  ConfigStore& Config() { return config_; }
  PullScheduler& Scheduler() { return scheduler_; }
  Clock& GetClock() { return clock_; }
  // Shared by every worker: Run must be safe to call from several threads.
  AccountJob& Job() { return *job_; }

  // Guards the list of pending account tests.
  std::mutex& TestsLock() { return testsLock_; }
  // The account tests started through the control pipe, and their verdicts.
  AccountTests& Tests() { return tests_; }

 private:
  std::string appFolder_;
  Clock& clock_;
  std::unique_ptr<AccountJob> job_;
  ConfigStore config_;
  std::mutex testsLock_;
  AccountTests tests_{testsLock_};
  // Last, so that its threads are stopped before anything they use goes away.
  PullScheduler scheduler_;
};

}  // namespace tarnwick
