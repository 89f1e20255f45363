// The engine program as the service starts it.
#include "engine/EngineHost.h"

#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace tarnwick {
namespace {

std::string BuiltProgram() {
  const char* dir = std::getenv("TARNWICK_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/programs/TarnwickSvr";
}

unsigned Mode(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST(Program, DoesNothingWithoutTheExactSwitch) {
  test::TempDir dir;
  std::string prog = dir / "TarnwickSvr";
  ASSERT_TRUE(test::CopyExecutable(BuiltProgram(), prog));
  for (std::vector<std::string> args : {std::vector<std::string>{prog}, {prog, "/S"}, {prog, "s"}, {prog, "/s "}}) {
    test::ChildProcess p(prog, args, {"TARNWICK_SYSROOT=" + dir.path()});
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.WaitExit(20000), 0) << args.back();
  }
  EXPECT_FALSE(FolderExists(dir / "log"));
  EXPECT_FALSE(FolderExists(dir / "conf"));
}

TEST(Program, RunsWithSwitchAndCreatesPrivateFolders) {
  test::TempDir dir;
  // A program in an "X64" subfolder works in the folder above it.
  ASSERT_EQ(MakeFolder(dir / "X64", 0755), 0);
  std::string prog = dir / "X64/TarnwickSvr";
  ASSERT_TRUE(test::CopyExecutable(BuiltProgram(), prog));
  test::ChildProcess p(prog, {prog, "/s"}, {"TARNWICK_SYSROOT=" + dir.path()});
  ASSERT_TRUE(p.Started());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(FolderExists(dir / "log") && FolderExists(dir / "conf") && FolderExists(dir / "pull")) &&
         std::chrono::steady_clock::now() < deadline && p.Running())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (const char* name : {"log", "conf", "pull"}) EXPECT_EQ(Mode(dir / name), 0700u) << name;
  EXPECT_FALSE(p.WaitExit(300).has_value());  // still running
  p.Kill();
}

}  // namespace
}  // namespace tarnwick
