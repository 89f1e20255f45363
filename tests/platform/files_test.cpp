#include "platform/Files.h"

#include "platform/Errors.h"
#include "platform/Paths.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tarnwick {
namespace {

TEST(Files, CreateNewRefusesAnExistingFile) {
  test::TempDir dir;
  std::string p = dir / "a.eml";
  EXPECT_EQ(CreateNewFile(p, "one"), 0);
  EXPECT_EQ(CreateNewFile(p, "two"), err::kFileExists);
  std::string text;
  ASSERT_EQ(ReadWholeFile(p, text), 0);
  EXPECT_EQ(text, "one");
}

TEST(Files, ReplaceAtomicKeepsOldFileWhenFolderIsGone) {
  test::TempDir dir;
  std::string p = dir / "conf.txt";
  ASSERT_EQ(ReplaceFileAtomic(p, "first"), 0);
  ASSERT_EQ(ReplaceFileAtomic(p, "second"), 0);
  std::string text;
  ASSERT_EQ(ReadWholeFile(p, text), 0);
  EXPECT_EQ(text, "second");
  EXPECT_EQ(ListFiles(dir.path()).size(), 1u);  // no temporary left behind
  EXPECT_NE(ReplaceFileAtomic(dir / "missing/conf.txt", "x"), 0);
}

TEST(Files, MissingFileReadsAsNotFound) {
  test::TempDir dir;
  std::string text;
  EXPECT_EQ(ReadWholeFile(dir / "nope", text), err::kFileNotFound);
  EXPECT_EQ(ReadWholeFile(dir / "nope/deeper", text), err::kFileNotFound);
}

TEST(Files, FoldersAreCreatedPrivate) {
  test::TempDir dir;
  std::string p = dir / "log";
  ASSERT_EQ(MakeFolder(p), 0);
  ASSERT_EQ(MakeFolder(p), 0);  // existing is fine
  struct stat st{};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Paths, ApplicationFolderDropsX64InAnyCase) {
  struct Case {
    const char* program;
    const char* folder;
  } cases[] = {
      {"/opt/tarnwick/TarnwickSvr", "/opt/tarnwick"},
      {"/opt/tarnwick/x64/TarnwickSvr", "/opt/tarnwick"},
      {"/opt/tarnwick/X64/TarnwickSvr", "/opt/tarnwick"},
      {"/opt/tarnwick/x64b/TarnwickSvr", "/opt/tarnwick/x64b"},
      {"/opt/x64/bin/TarnwickSvr", "/opt/x64/bin"},
  };
  for (const auto& c : cases) EXPECT_EQ(ApplicationFolderOf(c.program), c.folder) << c.program;
}

TEST(Paths, SystemRootFollowsTheEnvironment) {
  {
    test::ScopedSysroot root("/tmp/xyz");
    EXPECT_EQ(UnderSystemRoot("etc/tarnwick/registry"), "/tmp/xyz/etc/tarnwick/registry");
  }
  {
    test::ScopedSysroot root("");
    EXPECT_EQ(SystemRoot(), "/");
  }
}

TEST(Errors, ErrnoMapsToSystemNumbers) {
  EXPECT_EQ(FromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(FromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(FromErrno(ENOENT), 2);
  EXPECT_EQ(FromErrno(EEXIST), 80);
  EXPECT_EQ(FromErrno(12345), 12345);
  EXPECT_FALSE(SystemMessage(10060).empty());
}

}  // namespace
}  // namespace tarnwick
