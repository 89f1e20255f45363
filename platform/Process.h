// Processes: the running-process snapshot (a scan of /proc), starting a
// program in the background, and its end.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// One running process found in /proc.
struct ProcessEntry {
  int pid = 0;
  // The executable file's full path as the kernel shows it; a file replaced
  // or removed since the start carries the suffix " (deleted)".
  std::string executable;
};

// The processes whose executable file name (the part after the last "/",
// without any " (deleted)" suffix) equals name, in /proc order (ascending
// ids). Processes whose executable cannot be read (other users' processes
// when not root) are left out.
std::vector<ProcessEntry> FindProcessesByName(const std::string& name);

// True when the process's executable is the file at path: the same path, or
// that path with " (deleted)" (a file replaced since the process started).
bool ProcessRunsFile(const ProcessEntry& process, const std::string& path);

// Ends a process at once (SIGKILL). 0 or the system's error number.
int KillProcess(int pid);
// Waits at most timeoutMs of real time until the process has ended (gone or
// a zombie, so that it holds no file or lock any more); true when it has.
bool WaitProcessGone(int pid, int timeoutMs);

// A program started in the background: its own session, standard input and
// output on /dev/null, standard error shared with the caller, the caller's
// environment and current folder, default signal handling.
class ChildProgram {
 public:
  ChildProgram() = default;
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // Starts program with args (argv[0] is the program path). 0 or the system's
  // error number (2 for a missing program, 5 for one that may not be run).
  int Start(const std::string& program, const std::vector<std::string>& args);
  bool Running() const { return pid_ > 0; }
  int Pid() const { return pid_; }

  // Without waiting: nullopt while the program runs; otherwise its exit code
  // (the exit status, or 128 + the signal number that ended it), or 0 when
  // the query itself failed. The child is reaped and forgotten in both cases.
  std::optional<int> ExitCode();
  // Ends the program (SIGKILL) and reaps it; nothing when none runs.
  void Kill();

 private:
  int pid_ = -1;
};

}  // namespace tarnwick

namespace tarnwick {

// Runs a program found on PATH (args[0]) with standard input on /dev/null,
// waits for its end and returns its exit code (128 + signal), or -1 when it
// could not be started.
int RunAndWait(const std::vector<std::string>& args);

}  // namespace tarnwick
