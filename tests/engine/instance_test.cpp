// One engine per system root: a second engine started on the same root
// changes nothing and leaves the first one serving.
#include "engine/EngineHost.h"

#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/LocalSocket.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace tarnwick {
namespace {

std::string BuiltEngine() {
  const char* dir = std::getenv("TARNWICK_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/programs/TarnwickSvr";
}

// The greeting of the engine serving the control socket, or "".
std::string Greeting(const std::string& socketPath) {
  LocalSocket s;
  if (s.Connect(socketPath, 1000) != 0) return {};
  bool ready = false;
  if (s.WaitReadable(5000, ready) != 0 || !ready) return {};
  char buf[64];
  std::size_t n = 0;
  bool wouldBlock = false;
  if (s.Read(buf, sizeof buf, n, wouldBlock) != 0) return {};
  return std::string(buf, n);
}

TEST(SingleEngine, SecondEngineOnTheSameRootExitsAndChangesNothing) {
  test::TempDir dir;
  ASSERT_EQ(MakeFolder(dir / "a", 0755), 0);
  ASSERT_EQ(MakeFolder(dir / "b", 0755), 0);
  ASSERT_TRUE(test::CopyExecutable(BuiltEngine(), dir / "a/TarnwickSvr"));
  ASSERT_TRUE(test::CopyExecutable(BuiltEngine(), dir / "b/TarnwickSvr"));
  const std::string root = dir / "root";
  const std::string socket = root + "/run/tarnwick/" + std::string(kControlPipeId);

  test::ChildProcess first(dir / "a/TarnwickSvr", {dir / "a/TarnwickSvr", "/s"}, {"TARNWICK_SYSROOT=" + root});
  std::string hello;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((hello = Greeting(socket)).empty() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(hello.find("sid:"), std::string::npos);

  // Another installation's engine on the same system root.
  std::string cmd = "TARNWICK_SYSROOT='" + root + "' '" + (dir / "b/TarnwickSvr") + "' /s 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = ::pclose(p);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  int firstPid = 0;
  for (const ProcessEntry& e : FindProcessesByName("TarnwickSvr"))
    if (ProcessRunsFile(e, CanonicalPath(dir / "a/TarnwickSvr"))) firstPid = e.pid;
  EXPECT_NE(out.find("engine process " + std::to_string(firstPid) + " already runs"), std::string::npos) << out;
  EXPECT_FALSE(FolderExists(dir / "b/log"));  // nothing touched
  EXPECT_FALSE(FolderExists(dir / "b/conf"));

  EXPECT_TRUE(first.Running());
  EXPECT_NE(Greeting(socket).find("sid:"), std::string::npos);
}

// A control server that cannot start leaves the engine idle: both flags back
// at 1, no scheduler and no workers.
TEST(SingleEngine, ControlServerThatCannotStartLeavesTheEngineIdle) {
  test::TempDir app;
  test::ScopedSysroot sysroot{app.path()};
  EngineHost host(app.path());
  // No descriptor left for the control server's readiness poller.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  bool started = host.Start();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_FALSE(started);
  EXPECT_TRUE(host.StopRequested());
  EXPECT_EQ(host.Control(), nullptr);
  EXPECT_EQ(host.Engine().Scheduler().StartedWorkers(), 0);
}

}  // namespace
}  // namespace tarnwick
