// The engine program itself, as the service starts it, for the benchmarks:
// copied into a fresh system root whose local mail server lives in
// <root>/mailserver, started with "/s", driven over its control socket.
#pragma once

#include "tests/support/ChildProcess.h"

#include <memory>
#include <string>

namespace tarnwick::bench {

class EngineProgram {
 public:
  // root: an empty folder that becomes the system root and the application
  // folder. mailpull: the "mailpull" block the engine starts with.
  EngineProgram(const std::string& root, const std::string& mailpull);
  ~EngineProgram();
  EngineProgram(const EngineProgram&) = delete;
  EngineProgram& operator=(const EngineProgram&) = delete;

  // Waits until the control socket answers; false when the engine did not come up.
  bool WaitReady(int timeoutMs);
  // Hands an account block in to run now; false when the engine refused it.
  bool RunNow(const std::string& block);
  // Replaces the block at path ("config/mailpull") through the control socket.
  bool PutConfig(const std::string& path, const std::string& block);

  std::string QueueFolder() const { return root_ + "/mailserver/queue"; }
  std::string WorkFolder(const std::string& account) const { return root_ + "/pull/" + account; }
  std::string LogFolder() const { return root_ + "/log"; }
  // The engine's user + system CPU seconds so far, and its peak resident set.
  double CpuSeconds() const;
  long PeakRssKb() const;
  int Pid() const { return pid_; }
  bool Running();
  void Kill();

 private:
  bool Send(int32_t type, const std::string& data);

  std::string root_;
  std::unique_ptr<test::ChildProcess> process_;
  int pid_ = 0;
};

// Lines of a uidl.txt (0 when it does not exist yet).
std::size_t UidlLines(const std::string& workFolder);

// Where the engine program was built: $TARNWICK_BUILD_DIR/programs, or the
// "programs" folder beside the benchmark's own folder.
std::string BuiltEngineProgram();

}  // namespace tarnwick::bench
