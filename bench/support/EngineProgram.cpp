#include "bench/support/EngineProgram.h"

#include "control/ControlClient.h"
#include "platform/Files.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarnwick::bench {

std::string BuiltEngineProgram() {
  if (const char* dir = std::getenv("TARNWICK_BUILD_DIR"); dir && *dir) return std::string(dir) + "/programs/TarnwickSvr";
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
  path = path.substr(0, path.find_last_of('/'));  // <build>/bench
  path = path.substr(0, path.find_last_of('/'));  // <build>
  return path + "/programs/TarnwickSvr";
}

EngineProgram::EngineProgram(const std::string& root, const std::string& mailpull) : root_(root) {
  const std::string prog = root_ + "/TarnwickSvr";
  test::CopyExecutable(BuiltEngineProgram(), prog);
  MakeFolders(root_ + "/etc/tarnwick");
  WriteWholeFile(root_ + "/etc/tarnwick/registry",
                 "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"" + root_ + "/mailserver\"\r\n");
  MakeFolders(root_ + "/mailserver/queue");
  MakeFolders(root_ + "/conf");
  WriteWholeFile(root_ + "/conf/config.txt", "BEGIN:config\r\n" + mailpull + "END:config\r\n");
  process_ = std::make_unique<test::ChildProcess>(prog, std::vector<std::string>{prog, "/s"},
                                                  std::vector<std::string>{"TARNWICK_SYSROOT=" + root_});
  pid_ = process_->pid();
}

EngineProgram::~EngineProgram() { Kill(); }

bool EngineProgram::Running() { return process_ && process_->Running(); }

void EngineProgram::Kill() {
  if (process_) process_->Kill();
}

bool EngineProgram::WaitReady(int timeoutMs) {
  const std::string path = root_ + "/run/tarnwick/" + std::string(kControlPipeName);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end && Running()) {
    ControlClient c(5000);
    ControlMessage hello;
    if (c.OpenPath(path) == 0 && c.Receive(hello) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool EngineProgram::Send(int32_t type, const std::string& data) {
  ControlClient c(60000);
  ControlMessage hello;
  if (c.OpenPath(root_ + "/run/tarnwick/" + std::string(kControlPipeName)) != 0 || c.Receive(hello) != 0) return false;
  std::string reply;
  return c.Exchange(type, data, reply) == 0;
}

bool EngineProgram::RunNow(const std::string& block) { return Send(kRunNow, block); }

bool EngineProgram::PutConfig(const std::string& path, const std::string& block) {
  return Send(kPutConfig, std::string(kConfigNameField) + ": " + path + "\r\n\r\n" + block);
}

double EngineProgram::CpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields after the name: state is field 3; utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long EngineProgram::PeakRssKb() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::size_t UidlLines(const std::string& workFolder) {
  std::string text;
  if (ReadWholeFile(workFolder + "/uidl.txt", text) != 0) return 0;
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace tarnwick::bench
