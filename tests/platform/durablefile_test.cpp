#include "platform/DurableFile.h"

#include "platform/Errors.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(DurableFile, WrittenAsideFlushedAndNamedWithoutReplacing) {
  test::TempDir dir;
  const std::string big(300000, 'b');
  FileHandle f;
  ASSERT_EQ(WriteNewFile(dir / "a.tmp", {"head ", "", big, "tail"}, f), 0);
  EXPECT_TRUE(f.valid());
  FileHandle again;
  EXPECT_EQ(WriteNewFile(dir / "a.tmp", {"x"}, again), err::kFileExists);
  EXPECT_FALSE(again.valid());
  ASSERT_EQ(SyncAndClose(f), 0);
  EXPECT_FALSE(f.valid());

  ASSERT_EQ(WriteWholeFile(dir / "taken.eml", "other"), 0);
  EXPECT_EQ(RenameNoReplaceUnsynced(dir / "a.tmp", dir / "taken.eml"), err::kFileExists);
  ASSERT_EQ(RenameNoReplaceUnsynced(dir / "a.tmp", dir / "a.eml"), 0);
  SyncFolder(dir.path());
  std::string text;
  ASSERT_EQ(ReadWholeFile(dir / "a.eml", text), 0);
  EXPECT_EQ(text, "head " + big + "tail");
  ASSERT_EQ(ReadWholeFile(dir / "taken.eml", text), 0);
  EXPECT_EQ(text, "other");
  EXPECT_FALSE(FileExists(dir / "a.tmp"));
}

}  // namespace
}  // namespace tarnwick
