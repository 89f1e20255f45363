// A program started by a test, killed and reaped when the owner goes away.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick::test {

class ChildProcess {
 public:
  // Starts program with args (argv[0] is the program path); extraEnv entries
  // ("NAME=value") are added to the test's own environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // Waits up to timeoutMs of real time for the process to end; its exit
  // status (128 + signal when a signal ended it), or nullopt while it runs.
  std::optional<int> WaitExit(int timeoutMs);
  bool Running();
  void Kill();

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// Copies a file with its mode bits.
bool CopyExecutable(const std::string& from, const std::string& to);

}  // namespace tarnwick::test
