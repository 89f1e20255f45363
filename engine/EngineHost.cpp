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

bool EngineHost::Start() {
  if (idle_.load() == 0) return false;
  pipeName_ = UnderSystemRoot(std::string("run/tarnwick/") + std::string(kControlPipeId));
  stop_ = 0;
  idle_ = 0;
  // The control server first, then the scheduler. A socket that cannot be
  // bound yet is retried by the server's own thread.
  control_ = std::make_unique<ControlServer>(engine_, pipeName_);
  control_->Start();
  engine_.Scheduler().StartScheduler();
  engine_.Scheduler().StartWorkers();
  return true;
}

}  // namespace tarnwick
