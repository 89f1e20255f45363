// The service program TarnwickSvc: its command-line switches, its AppID and
// type-library registration, its systemd unit, the log function and the
// main loop that keeps the engine running through a CSvrMonitor.
//
//   TarnwickSvc -Service      register and install the unit (then: systemctl start tarnwick)
//   TarnwickSvc /RegServer    register as a plain local server, removing the unit
//   TarnwickSvc -UnregServer  remove the unit and the registration
//   TarnwickSvc               run: start TarnwickSvr /s and restart it whenever it ends
//
// Running as a service (the AppID value "LocalService" exists) its messages
// go to the system log (facility daemon, ident "TarnwickSvc"), otherwise to
// standard output. SIGTERM and SIGINT stop it; the engine is then ended too.
#pragma once

#include "platform/Signals.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr std::string_view kServiceName = "TarnwickSvc";
inline constexpr std::string_view kServiceDisplayName = "Varnholt Tarnwick Service";
inline constexpr std::string_view kServiceAppId = "{EE07A6A7-BF1E-453C-A2F5-8E71C2FD8201}";
inline constexpr std::string_view kServiceTypeLibId = "{D7DDEC9A-68E7-490A-8A86-1C693CC17BED}";
inline constexpr std::string_view kServiceTypeLibHelp = "TarnwickSvc 1.0 Type Library";
// The unit, below the system root.
inline constexpr std::string_view kServiceUnitPath = "etc/systemd/system/tarnwick.service";

enum class ServiceSwitch { None, UnregServer, RegServer, Service };

// The switch of a command line (the arguments after the program path): from
// each "-" or "/" on, the rest of the line is compared with each switch
// without regard to letter case, so the switch must come last.
ServiceSwitch ParseServiceSwitch(const std::vector<std::string>& args);

// The waits of the main loop and the monitor, replaceable in tests. Wait
// returns early with a control signal when one arrives.
class ServiceWaits {
 public:
  virtual ~ServiceWaits() = default;
  virtual int64_t NowMs() = 0;
  virtual ControlSignal Wait(int64_t ms) = 0;
};

// The service status as reported to the service manager.
struct ServiceStatus {
  static constexpr int kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4;
  int serviceType = 16;       // own process
  int currentState = kStopped;
  int controlsAccepted = 1;   // stop only
  int exitCode = 0;
};

// The unit file text for a service program at programPath.
std::string ServiceUnitText(const std::string& programPath);

class CServiceModule {
 public:
  // programPath: this program's full path; the engine is TarnwickSvr in
  // the same folder.
  explicit CServiceModule(std::string programPath);

  // Handles the switch of the command line (arguments after the program
  // path) or runs; the program's exit code.
  int Main(const std::vector<std::string>& args);

  // The three registrations; 0 on success.
  int RegisterServer(bool asService);
  int UnregisterServer();
  // The unit: writes or removes it (nothing when already so); false after a
  // failure, which has been shown on standard error.
  bool Install();
  bool Uninstall();
  bool IsInstalled() const;

  // Runs without a switch: as a service when "LocalService" is registered.
  void Start(ServiceWaits* waits = nullptr);
  // The main loop: starts the engine and watches it until a stop arrives.
  void Run(ServiceWaits& waits);

  // Formats (at most 255 characters) and writes one message.
  void LogEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Waits ms through the main loop's waits, handling control signals as
  // they come; false once a stop has been asked for.
  bool Pause(int64_t ms);
  bool StopRequested() const { return quit_; }

  const std::string& ProgramPath() const { return programPath_; }
  std::string EnginePath() const;
  const ServiceStatus& Status() const { return status_; }
  bool RunningAsService() const { return service_; }
  void SetRunningAsService(bool on) { service_ = on; }

  // Receives every message in place of the system log and standard output.
  std::function<void(const std::string&)> LogSink;

 private:
  void ServiceMain(ServiceWaits& waits);
  void Handler(ControlSignal signal);
  void SetState(int state) { status_.currentState = state; }
  void ShowError(std::string_view text) const;
  // True when systemd manages the machine and the system root is "/".
  bool SystemdRuns() const;

  std::string serviceName_;
  std::string programPath_;
  ServiceStatus status_;
  bool service_ = false;
  bool quit_ = false;
  ServiceWaits* waits_ = nullptr;
};

}  // namespace tarnwick
