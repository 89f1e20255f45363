#include "tests/support/ChildProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

extern char** environ;

namespace tarnwick::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& x : extraEnv) {
    std::string name = x.substr(0, x.find('=') + 1);
    std::erase_if(env, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
    env.push_back(x);
  }
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
}

ChildProcess::~ChildProcess() { Kill(); }

std::optional<int> ChildProcess::WaitExit(int timeoutMs) {
  if (status_ || pid_ <= 0) return status_;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::Running() { return pid_ > 0 && !WaitExit(0); }

void ChildProcess::Kill() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  ::waitpid(pid_, &st, 0);
  status_ = 128 + SIGKILL;
}

bool CopyExecutable(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return false;
  std::filesystem::permissions(to, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  return !ec;
}

}  // namespace tarnwick::test
