#include "service/SvrMonitor.h"

#include "platform/Errors.h"
#include "platform/FileInfo.h"
#include "service/ServiceModule.h"

namespace tarnwick {

CSvrMonitor::CSvrMonitor(CServiceModule& module, std::string enginePath)
    : module_(module), enginePath_(std::move(enginePath)) {}

void CSvrMonitor::TerminateStaleEngine() {
  // Only an engine of this installation: a program of the same name in
  // another folder belongs to another installation or another user.
  const std::string ours = CanonicalPath(enginePath_);
  for (const ProcessEntry& p : FindProcessesByName("TarnwickSvr")) {
    if (!ProcessRunsFile(p, ours) && !ProcessRunsFile(p, enginePath_)) continue;
    if (KillProcess(p.pid) == 0) {
      // The new engine needs the old one's lock on the control socket,
      // which goes when the process is gone.
      WaitProcessGone(p.pid, 2000);
    }
    break;  // only the first match
  }
}

void CSvrMonitor::StartSvr() {
  TerminateStaleEngine();
  int e = engine_.Start(enginePath_, {enginePath_, "/s"});
  startFailed_ = e != 0;
  if (startFailed_) module_.LogEvent("TarnwickSvr could not be started: %s", SystemMessage(e).c_str());
}

void CSvrMonitor::CheckSvr() {
  if (!engine_.Running()) {
    // An engine that could not be started is tried again at the restart
    // pace, so that a repaired installation runs without a service restart.
    if (!startFailed_) return;
    if (!module_.Pause(2000)) return;
    StartSvr();
    module_.Pause(3000);
    return;
  }
  std::optional<int> code = engine_.ExitCode();
  if (!code) {
    module_.Pause(1000);
    return;
  }
  module_.LogEvent("TarnwickSvr exit with %d", *code);
  StopSvr();
  if (!module_.Pause(2000)) return;
  StartSvr();
  module_.Pause(3000);
}

void CSvrMonitor::StopSvr() { engine_.Kill(); }

}  // namespace tarnwick
