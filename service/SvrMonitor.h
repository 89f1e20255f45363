// Keeps one engine process running: starts TarnwickSvr /s from the service
// program's folder (after ending a stale engine of this installation),
// checks it, and when it has ended logs "TarnwickSvr exit with %d" and
// starts it again at the restart pace (2000 ms before, 3000 ms after).
#pragma once

#include "platform/Process.h"

#include <string>

namespace tarnwick {

class CServiceModule;

class CSvrMonitor {
 public:
  // enginePath: the TarnwickSvr of this installation.
  CSvrMonitor(CServiceModule& module, std::string enginePath);
  ~CSvrMonitor() { StopSvr(); }
  CSvrMonitor(const CSvrMonitor&) = delete;
  CSvrMonitor& operator=(const CSvrMonitor&) = delete;

  // Ends the first running process whose executable is this installation's
  // engine, then starts the engine. A start that fails is logged and
  // retried by CheckSvr.
  void StartSvr();
  // Nothing while the engine runs but a 1000 ms wait; an ended engine (or
  // one that could not be started) is restarted.
  void CheckSvr();
  // Ends the engine, if one runs.
  void StopSvr();

  int EnginePid() const { return engine_.Pid(); }

 private:
  void TerminateStaleEngine();

  CServiceModule& module_;
  std::string enginePath_;
  ChildProgram engine_;
  bool startFailed_ = false;
};

}  // namespace tarnwick
