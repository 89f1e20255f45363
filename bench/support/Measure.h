// Measuring one run of a pull program: wall time from start to end, CPU
// time and peak resident set of the process that did the work (with the
// children it waited for). Every run is a child process of the benchmark,
// so that the figures of one run never include another's.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarnwick::bench {

struct Usage {
  bool finished = false;  // ended by itself within the time limit
  int exitStatus = -1;    // exit code, or 128 + signal
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system
  long peakRssKb = 0;
};

// Runs work in a forked copy of this process and waits for it. What work
// puts into its argument comes back in payload; its return value is the
// child's exit code.
Usage RunForked(const std::function<int(std::string& payload)>& work, std::string& payload, int limitSeconds);

// Runs a program (argv[0] looked up in PATH) with extra environment entries
// ("NAME=value"), standard input from /dev/null and both outputs into
// logPath. A program still running after limitSeconds is killed.
Usage RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath, int limitSeconds);

// Fresh folders for the output of runs, all removed (and their removal
// written out) when the object goes. Their parent is marked so that the
// file system places each new folder like a top-level one, in a part of the
// disk of its own: on a file system without a journal, files created among
// inodes freed in the last minutes are slow to create, which would make a
// run's figures depend on what ran before it.
class OutputFolders {
 public:
  OutputFolders();
  ~OutputFolders();
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;
  // A new empty folder, in a part of the disk where files are created at
  // full speed when one is found.
  std::string New();

 private:
  std::string base_;
  int count_ = 0;
};

// Whether an executable of that name is on the PATH.
bool HaveProgram(const std::string& name);

// Writes every dirty page of the machine to disk, so that the write-back of
// one run does not slow down the next.
void FlushDisks();

// Message files below folder, counted recursively: regular files whose
// names do not start with "." (maildirs keep their state in such files),
// leaving out maildir "tmp" folders.
std::size_t CountFiles(const std::string& folder);

// Lets the account user reach folder below root and write into it (the
// folder and everything in it change owner; root becomes searchable), for
// programs that refuse to deliver mail as root.
bool HandOver(const std::string& root, const std::string& folder, const std::string& user);

}  // namespace tarnwick::bench
