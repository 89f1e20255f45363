#include "bench/support/Measure.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>

namespace tarnwick::bench {

namespace {

using Steady = std::chrono::steady_clock;

// Kills the process if it has not been reaped within the limit.
class Watchdog {
 public:
  Watchdog(pid_t pid, int limitSeconds)
      : thread_([this, pid, limitSeconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::seconds(limitSeconds), [this] { return done_; })) {
            fired_ = true;
            ::kill(pid, SIGKILL);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  bool fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

double CpuOf(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Reap(pid_t pid, Steady::time_point start, Usage& usage) {
  int status = 0;
  rusage u{};
  while (::wait4(pid, &status, 0, &u) < 0 && errno == EINTR) {
  }
  usage.wallSeconds = std::chrono::duration<double>(Steady::now() - start).count();
  usage.cpuSeconds = CpuOf(u);
  usage.peakRssKb = u.ru_maxrss;
  usage.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Usage RunForked(const std::function<int(std::string& payload)>& work, std::string& payload, int limitSeconds) {
  Usage usage;
  payload.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return usage;
  const Steady::time_point start = Steady::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return usage;
  }
  if (pid == 0) {
    ::close(fds[0]);
    std::string out;
    int code = work(out);
    std::string_view left = out;
    while (!left.empty()) {
      ssize_t n = ::write(fds[1], left.data(), left.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      left.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fds[1]);
    std::_Exit(code);
  }
  ::close(fds[1]);
  {
    Watchdog watchdog(pid, limitSeconds);
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      payload.append(buf, static_cast<std::size_t>(n));
    }
    Reap(pid, start, usage);
    usage.finished = !watchdog.fired();
  }
  ::close(fds[0]);
  return usage;
}

Usage RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath, int limitSeconds) {
  Usage usage;
  if (argv.empty()) return usage;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const Steady::time_point start = Steady::now();
  const pid_t pid = ::fork();
  if (pid < 0) return usage;
  if (pid == 0) {
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in >= 0) ::dup2(in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::execvp(args[0], args.data());
    std::_Exit(127);
  }
  Watchdog watchdog(pid, limitSeconds);
  Reap(pid, start, usage);
  usage.finished = !watchdog.fired();
  return usage;
}

OutputFolders::OutputFolders() {
  std::string tmpl = "/tmp/tarnwick-bench-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return;
  base_ = tmpl;
  ::chmod(base_.c_str(), 0711);  // peers that deliver as another user reach their folder
  int fd = ::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int flags = 0;
  // Best effort: other file systems lack the flag and simply go without.
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags |= FS_TOPDIR_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

OutputFolders::~OutputFolders() {
  if (base_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(base_, ec);
  FlushDisks();
}

std::string OutputFolders::New() {
  const std::string base = base_.empty() ? std::string("/tmp") : base_;
  // A folder lands where the file system finds room; where inodes were
  // freed minutes ago, each new file costs a scan over them. A probe of
  // empty files tells, and a slow place is left (kept until the end, so
  // that it frees nothing) for another one.
  constexpr int kProbeFiles = 256;
  constexpr double kFastSeconds = 0.008;
  std::string path;
  for (int attempt = 0; attempt < 24; ++attempt) {
    path = base + "/run-" + std::to_string(++count_);
    std::filesystem::create_directories(path + "/probe");
    const Steady::time_point start = Steady::now();
    for (int i = 0; i < kProbeFiles; ++i) {
      int fd = ::open((path + "/probe/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) ::close(fd);
    }
    if (std::chrono::duration<double>(Steady::now() - start).count() < kFastSeconds) break;
  }
  path += "/out";
  std::filesystem::create_directories(path);
  return path;
}

bool HaveProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= dirs.size()) {
    std::size_t colon = dirs.find(':', pos);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(pos, colon - pos);
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    pos = colon + 1;
  }
  return false;
}

void FlushDisks() { ::sync(); }

std::size_t CountFiles(const std::string& folder) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_directory(ec) && name == "tmp") it.disable_recursion_pending();
    else if (it->is_regular_file(ec) && !name.empty() && name[0] != '.') ++n;
  }
  return n;
}

bool HandOver(const std::string& root, const std::string& folder, const std::string& user) {
  const passwd* pw = ::getpwnam(user.c_str());
  if (!pw || ::chmod(root.c_str(), 0711) != 0) return false;
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  if (::chown(folder.c_str(), uid, gid) != 0) return false;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (::chown(it->path().c_str(), uid, gid) != 0) return false;
  return !ec;
}

}  // namespace tarnwick::bench
