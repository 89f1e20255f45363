// The engine program running in a temporary system root, as the
// administration side meets it: its own folder holding TarnwickSvr, a local
// mail server root with the mailbox ann@local.dom, and the control socket
// below the root. The test process itself uses the same root.
#pragma once

#include "control/ControlClient.h"
#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace tarnwick::test {

inline std::string BuiltProgram(const std::string& name) {
  const char* dir = std::getenv("TARNWICK_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/programs/" + name;
}

class AdminEngine {
 public:
  static constexpr const char* kStartConfig =
      "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:2\r\nLogLevel:2\r\nEND:mailpull\r\nEND:config\r\n";

  AdminEngine() {
    MakeFolders(root_ / "etc/tarnwick");
    WriteWholeFile(root_ / "etc/tarnwick/registry",
                   "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"" + root_.path() + "/mailserver\"\r\n");
    MakeFolders(root_ / "mailserver/data/local.dom/user/ann");
    MakeFolders(root_ / "mailserver/queue");
    MakeFolders(root_ / "conf");
  }

  // Writes conf/config.txt (when given), starts the engine and waits until
  // its control socket answers. False when it does not come up.
  bool Start(const std::string& config = kStartConfig) {
    if (!config.empty()) WriteWholeFile(root_ / "conf/config.txt", config);
    const std::string prog = root_ / "TarnwickSvr";
    if (!CopyExecutable(BuiltProgram("TarnwickSvr"), prog)) return false;
    engine_ = std::make_unique<ChildProcess>(prog, std::vector<std::string>{prog, "/s"},
                                             std::vector<std::string>{"TARNWICK_SYSROOT=" + root_.path()});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && engine_->Running()) {
      ControlClient c;
      if (c.Open() == 0) {
        ControlMessage greeting;
        if (c.Receive(greeting) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void Stop() { engine_.reset(); }

  const std::string& root() const { return root_.path(); }
  std::string operator/(const std::string& name) const { return root_ / name; }
  std::string ConfigFile() const {
    std::string text;
    ReadWholeFile(root_ / "conf/config.txt", text);
    return text;
  }
  std::vector<std::string> QueueFiles() const { return ListFiles(root_ / "mailserver/queue"); }

 private:
  TempDir root_;
  ScopedSysroot sysroot_{root_.path()};
  std::unique_ptr<ChildProcess> engine_;
};

// Polls cond every 20 ms for up to ms milliseconds of real time.
template <class F>
bool WaitFor(F cond, int ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace tarnwick::test
