#include "platform/Process.h"

#include "platform/Errors.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace tarnwick {
namespace {

constexpr std::string_view kDeleted = " (deleted)";

std::string ReadLink(const std::string& path) {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
  if (n <= 0) return {};
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

std::string WithoutDeleted(const std::string& exe) {
  if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
    return exe.substr(0, exe.size() - kDeleted.size());
  return exe;
}

// The state letter of /proc/PID/stat, 0 when the process is gone.
char ProcessState(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[512];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  std::string_view s(buf, static_cast<std::size_t>(n));
  // "pid (comm) S ...": the name may hold spaces and parentheses.
  std::size_t close = s.rfind(')');
  if (close == std::string_view::npos || close + 2 >= s.size()) return 0;
  return s[close + 2];
}

}  // namespace

std::vector<ProcessEntry> FindProcessesByName(const std::string& name) {
  std::vector<ProcessEntry> found;
  DIR* dir = ::opendir("/proc");
  if (!dir) return found;
  std::vector<int> pids;
  while (dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (end && *end == '\0' && pid > 0) pids.push_back(static_cast<int>(pid));
  }
  ::closedir(dir);
  std::sort(pids.begin(), pids.end());
  for (int pid : pids) {
    std::string exe = ReadLink("/proc/" + std::to_string(pid) + "/exe");
    if (exe.empty()) continue;
    std::string plain = WithoutDeleted(exe);
    std::size_t slash = plain.find_last_of('/');
    if (plain.substr(slash == std::string::npos ? 0 : slash + 1) == name) found.push_back({pid, exe});
  }
  return found;
}

bool ProcessRunsFile(const ProcessEntry& process, const std::string& path) {
  return !path.empty() && (process.executable == path || process.executable == path + std::string(kDeleted));
}

int KillProcess(int pid) {
  if (pid <= 0) return err::kInvalidParameter;
  return ::kill(pid, SIGKILL) == 0 ? 0 : LastOsError();
}

bool WaitProcessGone(int pid, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    char state = ProcessState(pid);
    if (state == 0 || state == 'Z' || state == 'X') return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ChildProgram::~ChildProgram() { Kill(); }

int ChildProgram::Start(const std::string& program, const std::vector<std::string>& args) {
  Kill();
  // posix_spawn reports a failed exec as its result, so a missing or
  // unusable program is known here and not only from the child's end.
  if (::access(program.c_str(), X_OK) != 0) return LastOsError();
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return FromErrno(rc);
  pid_ = pid;
  return 0;
}

std::optional<int> ChildProgram::ExitCode() {
  if (pid_ <= 0) return 0;
  int st = 0;
  pid_t r;
  do r = ::waitpid(pid_, &st, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == 0) return std::nullopt;
  pid_ = -1;
  if (r < 0) return 0;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return 0;
}

void ChildProgram::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace tarnwick

namespace tarnwick {

int RunAndWait(const std::vector<std::string>& args) {
  if (args.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

}  // namespace tarnwick
