#include "platform/Desktop.h"

#include "platform/Errors.h"
#include "platform/Paths.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

extern char** environ;

namespace tarnwick {

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// posix_spawn with the child's standard input (and, unless outFd >= 0, its
// standard output) on /dev/null; setsid makes it independent of our terminal.
int Spawn(const std::string& program, const std::vector<std::string>& args, int outFd, bool newSession, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_addclose(&actions, outFd);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newSession) flags |= POSIX_SPAWN_SETSID;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, flags);
  std::vector<char*> argv = Argv(program, args);
  int rc = program.find('/') == std::string::npos
               ? posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
               : posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? 0 : FromErrno(rc);
}

}  // namespace

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || !info.dli_fname || !*info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (!::realpath(info.dli_fname, resolved)) return info.dli_fname;
  return resolved;
}

std::string ModuleFolderOf(const void* address) {
  std::string path = ModulePathOf(address);
  return path.empty() ? path : ApplicationFolderOf(path);
}

int StartDetached(const std::string& program, const std::vector<std::string>& args) {
  // The child is started through an intermediate that exits at once, so
  // that nobody has to reap the program when it ends.
  pid_t pid = -1;
  std::vector<std::string> shellArgs{"-c", "\"$0\" \"$@\" >/dev/null 2>&1 </dev/null &", program};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  if (program.find('/') == std::string::npos) {
    // Report a program that is not installed instead of failing in the shell.
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    bool found = false;
    for (std::size_t b = 0; b <= dirs.size() && !found;) {
      std::size_t e = dirs.find(':', b);
      if (e == std::string::npos) e = dirs.size();
      std::string candidate = dirs.substr(b, e - b) + "/" + program;
      found = ::access(candidate.c_str(), X_OK) == 0;
      b = e + 1;
    }
    if (!found) return err::kFileNotFound;
  } else if (::access(program.c_str(), X_OK) != 0) {
    return LastOsError();
  }
  if (int e = Spawn("/bin/sh", shellArgs, -1, true, pid)) return e;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 0;
}

int ShellOpen(const std::string& target) { return StartDetached("xdg-open", {target}); }

std::optional<std::string> RunForOutput(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  pid_t pid = -1;
  int e = Spawn(program, args, fds[1], false, pid);
  ::close(fds[1]);
  if (e) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

bool PathPatternMatches(const std::string& pattern) {
  if (pattern.empty()) return false;
  glob_t g{};
  int rc = ::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &g);
  bool any = rc == 0 && g.gl_pathc > 0;
  ::globfree(&g);
  return any;
}

}  // namespace tarnwick
