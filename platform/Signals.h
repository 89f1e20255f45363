// The signals by which the service manager controls a service program,
// turned into events that the program's main loop waits for: SIGTERM and
// SIGINT ask it to stop, SIGHUP asks nothing, SIGUSR1 and SIGUSR2 are
// requests it does not know.
#pragma once

#include <cstdint>

namespace tarnwick {

enum class ControlSignal { None, Stop, Nothing, Unknown };

class ControlSignals {
 public:
  // Installs the handlers; Installed() tells whether that worked. One
  // instance per process.
  ControlSignals();
  ~ControlSignals();
  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;

  bool Installed() const { return installed_; }
  // Waits at most ms of real time for a signal; None after the time.
  ControlSignal Wait(int64_t ms);

 private:
  bool installed_ = false;
};

}  // namespace tarnwick
