#include "service/ServiceModule.h"

#include "platform/AsciiText.h"
#include "platform/Errors.h"
#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Syslog.h"
#include "service/SvrMonitor.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace tarnwick {
namespace {

std::string AppIdKey() { return "AppID\\" + std::string(kServiceAppId); }
// Windows looks the AppID of a local server up by its program file name.
constexpr std::string_view kProgramAppIdKey = "AppID\\TarnwickSvc.EXE";
std::string TypeLibKey() { return "TypeLib\\" + std::string(kServiceTypeLibId); }

// ExecStart takes C-style quoting; "%" starts a specifier.
std::string UnitQuoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out + "\"";
}

// The real waits: control signals end them early.
class SignalWaits : public ServiceWaits {
 public:
  explicit SignalWaits(ControlSignals& signals) : signals_(signals) {}
  int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  ControlSignal Wait(int64_t ms) override { return signals_.Wait(ms); }

 private:
  ControlSignals& signals_;
};

}  // namespace

ServiceSwitch ParseServiceSwitch(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) {
    if (!line.empty()) line.push_back(' ');
    line += a;
  }
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '-' && line[i] != '/') continue;
    std::string_view rest = std::string_view(line).substr(i + 1);
    if (EqualsNoCase(rest, "UnregServer")) return ServiceSwitch::UnregServer;
    if (EqualsNoCase(rest, "RegServer")) return ServiceSwitch::RegServer;
    if (EqualsNoCase(rest, "Service")) return ServiceSwitch::Service;
  }
  return ServiceSwitch::None;
}

std::string ServiceUnitText(const std::string& programPath) {
  std::string text;
  text += "# Written by \"TarnwickSvc -Service\", removed by \"TarnwickSvc -UnregServer\".\n";
  text += "[Unit]\n";
  text += "Description=" + std::string(kServiceDisplayName) + "\n";
  text += "After=network.target\n";
  text += "\n[Service]\n";
  text += "Type=simple\n";
  text += "ExecStart=" + UnitQuoted(programPath) + "\n";
  // The stop signal goes to TarnwickSvc alone, which ends the engine itself;
  // anything left over is killed afterwards.
  text += "KillMode=mixed\n";
  // Queue files are created 0666 less the umask: keep fetched mail away from
  // other users unless the queue folder's group or default ACL lets them in.
  text += "UMask=0027\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

CServiceModule::CServiceModule(std::string programPath)
    : serviceName_(kServiceName), programPath_(std::move(programPath)) {
  if (serviceName_.size() > 255) serviceName_.resize(255);
}

std::string CServiceModule::EnginePath() const {
  std::size_t slash = programPath_.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : programPath_.substr(0, slash);
  return folder + "/TarnwickSvr";
}

int CServiceModule::Main(const std::vector<std::string>& args) {
  switch (ParseServiceSwitch(args)) {
    case ServiceSwitch::UnregServer:
      UnregisterServer();
      return 0;
    case ServiceSwitch::RegServer: return RegisterServer(false);
    case ServiceSwitch::Service: return RegisterServer(true);
    case ServiceSwitch::None: break;
  }
  Start();
  return status_.exitCode;
}

int CServiceModule::RegisterServer(bool asService) {
  // A unit from an earlier registration may name another program file.
  Uninstall();
  const std::string appId(kServiceAppId);
  int e = RegWriteValue(RegHive::ClassesRoot, AppIdKey(), "", RegValue::Str(serviceName_));
  if (!e) e = RegWriteValue(RegHive::ClassesRoot, kProgramAppIdKey, "AppID", RegValue::Str(appId));
  if (!e) {
    int d = RegDeleteValue(RegHive::ClassesRoot, AppIdKey(), "LocalService");
    if (d != 0 && d != err::kFileNotFound) e = d;
  }
  if (!e && asService) {
    e = RegWriteValue(RegHive::ClassesRoot, AppIdKey(), "LocalService", RegValue::Str(serviceName_));
    if (!e) e = RegWriteValue(RegHive::ClassesRoot, AppIdKey(), "ServiceParameters", RegValue::Str("-Service"));
    // A unit that could not be written is a failed registration: whoever
    // installs must not be told that the service exists.
    if (!e && !Install()) e = err::kAccessDenied;
  }
  if (!e) {
    const std::string lib = TypeLibKey() + "\\1.0";
    std::size_t slash = programPath_.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : programPath_.substr(0, slash);
    e = RegWriteValue(RegHive::ClassesRoot, lib, "", RegValue::Str(std::string(kServiceTypeLibHelp)));
    if (!e) e = RegWriteValue(RegHive::ClassesRoot, lib + "\\FLAGS", "", RegValue::Str("0"));
    if (!e) e = RegWriteValue(RegHive::ClassesRoot, lib + "\\0\\linux64", "", RegValue::Str(programPath_));
    if (!e) e = RegWriteValue(RegHive::ClassesRoot, lib + "\\HELPDIR", "", RegValue::Str(folder));
  }
  if (e) ShowError("Registration failed: " + SystemMessage(e));
  return e ? 1 : 0;
}

int CServiceModule::UnregisterServer() {
  Uninstall();
  RegDeleteKey(RegHive::ClassesRoot, AppIdKey());
  RegDeleteKey(RegHive::ClassesRoot, kProgramAppIdKey);
  RegDeleteKey(RegHive::ClassesRoot, TypeLibKey());
  return 0;
}

bool CServiceModule::SystemdRuns() const {
  return SystemRoot() == "/" && FolderExists("/run/systemd/system");
}

bool CServiceModule::IsInstalled() const { return FileExists(UnderSystemRoot(kServiceUnitPath)); }

void CServiceModule::ShowError(std::string_view text) const {
  std::fprintf(stderr, "%s: %.*s\n", serviceName_.c_str(), static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

bool CServiceModule::Install() {
  if (IsInstalled()) return true;
  const std::string path = UnderSystemRoot(kServiceUnitPath);
  if (MakeFolders(path.substr(0, path.find_last_of('/')), 0755) != 0) {
    ShowError("Couldn't open service manager");
    return false;
  }
  if (ReplaceFileAtomic(path, ServiceUnitText(programPath_)) != 0 || SetFileMode(path, 0644) != 0) {
    RemoveFile(path);
    ShowError("Couldn't create service");
    return false;
  }
  if (SystemdRuns()) RunAndWait({"systemctl", "daemon-reload"});
  return true;
}

bool CServiceModule::Uninstall() {
  if (!IsInstalled()) return true;
  const bool systemd = SystemdRuns();
  if (systemd) RunAndWait({"systemctl", "stop", "tarnwick.service"});  // result ignored
  if (RemoveFile(UnderSystemRoot(kServiceUnitPath)) != 0) {
    ShowError("Service could not be deleted");
    return false;
  }
  if (systemd) RunAndWait({"systemctl", "daemon-reload"});
  return true;
}

void CServiceModule::LogEvent(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  std::string text = buf;
  if (LogSink) {
    LogSink(text);
  } else if (service_) {
    // Without a log socket the text still reaches the service manager's
    // journal through standard error.
    if (SendSyslog(kSyslogFacilityDaemon, kSyslogInfo, serviceName_, text) != 0) {
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
    }
  } else {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
  }
}

void CServiceModule::Start(ServiceWaits* waits) {
  RegValue v;
  service_ = RegReadValue(RegHive::ClassesRoot, AppIdKey(), "LocalService", v) == 0;
  ControlSignals signals;
  SignalWaits real(signals);
  ServiceWaits& w = waits ? *waits : real;
  if (!service_) {
    Run(w);
    return;
  }
  SetState(ServiceStatus::kStartPending);
  if (!waits && !signals.Installed()) {
    LogEvent("Handler not installed");
    return;
  }
  ServiceMain(w);
}

void CServiceModule::ServiceMain(ServiceWaits& waits) {
  SetState(ServiceStatus::kStartPending);
  status_.exitCode = 0;
  Run(waits);
  SetState(ServiceStatus::kStopped);
  LogEvent("Service stopped");
}

void CServiceModule::Handler(ControlSignal signal) {
  switch (signal) {
    case ControlSignal::Stop:
      SetState(ServiceStatus::kStopPending);
      quit_ = true;
      break;
    case ControlSignal::Unknown: LogEvent("Bad service request"); break;
    case ControlSignal::None:
    case ControlSignal::Nothing: break;
  }
}

bool CServiceModule::Pause(int64_t ms) {
  if (!waits_) return !quit_;
  const int64_t end = waits_->NowMs() + ms;
  while (!quit_) {
    int64_t left = end - waits_->NowMs();
    if (left <= 0) break;
    Handler(waits_->Wait(left));
  }
  return !quit_;
}

void CServiceModule::Run(ServiceWaits& waits) {
  waits_ = &waits;
  quit_ = false;
  LogEvent("Service started");
  if (service_) SetState(ServiceStatus::kRunning);
  {
    CSvrMonitor monitor(*this, EnginePath());
    monitor.StartSvr();
    Pause(3000);
    while (!quit_) {
      if (!Pause(1000)) break;
      monitor.CheckSvr();
    }
    monitor.StopSvr();
  }
  waits_ = nullptr;
}

}  // namespace tarnwick
