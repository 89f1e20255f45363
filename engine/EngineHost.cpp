#include "engine/EngineHost.h"

#include "platform/Files.h"
#include "platform/Paths.h"

namespace tarnwick {

const std::string& EngineHost::CreateFolders(const std::string& applicationFolder) {
  // Administrators-and-system-only folders: owner-only here. A folder that
  // cannot be made shows up later as a failed file operation inside it.
  for (const char* name : {"log", "conf", "pull"}) MakeFolder(JoinPath(applicationFolder, name), 0700);
  return applicationFolder;
}

EngineHost::EngineHost(const std::string& applicationFolder, Clock& clock, std::unique_ptr<AccountJob> job)
    : engine_(CreateFolders(applicationFolder), clock, std::move(job)) {}

std::string EngineHost::ControlSocketPath() {
  return UnderSystemRoot(std::string("run/tarnwick/") + std::string(kControlPipeId));
}

std::string EngineHost::LockFilePath() { return ControlSocketPath() + ".lock"; }

int EngineHost::ClaimSystemRoot(InstanceLock& lock, int& holderPid) {
  return lock.Acquire(LockFilePath(), holderPid);
}

bool EngineHost::Start() {
  if (idle_.load() == 0) return false;
  pipeName_ = ControlSocketPath();
  stop_ = 0;
  idle_ = 0;
  // The control server first, then the scheduler. A socket that cannot be
  // bound yet is retried by the server's own thread; a server without its
  // thread leaves the engine idle.
  control_ = std::make_unique<ControlServer>(engine_, pipeName_);
  if (control_->Start() < 0) {
    control_.reset();
    stop_ = 1;
    idle_ = 1;
    return false;
  }
  engine_.Scheduler().StartScheduler();
  engine_.Scheduler().StartWorkers();
  return true;
}

}  // namespace tarnwick
