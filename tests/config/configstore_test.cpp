#include "config/ConfigStore.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tarnwick {
namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kTwoAccounts =
    "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:4\r\n"
    "BEGIN:alpha\r\nServer:pop.example.org\r\nUpdate:1\r\nEND:alpha\r\n"
    "BEGIN:beta\r\nLogLevel:2\r\nEND:beta\r\n"
    "END:mailpull\r\nEND:config\r\n";

std::string FileText(const std::string& path) {
  std::string text;
  EXPECT_EQ(ReadWholeFile(path, text), 0);
  return text;
}

TEST(ConfigStore, LoadVariantsOfTheSameText) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"plain", kTwoAccounts},
      {"bom and blank lines", kBom + "\r\n\r\n \t" + kTwoAccounts},
      {"blank lines before bom", "\r\n" + kBom + "\n" + kTwoAccounts + "\r\n\r\n"},
      {"lf line ends", "BEGIN:config\nBEGIN:mailpull\nMaxThread:4\nBEGIN:alpha\n"
                       "Server:pop.example.org\nUpdate:1\nEND:alpha\nBEGIN:beta\nLogLevel:2\n"
                       "END:beta\nEND:mailpull\nEND:config"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    ASSERT_EQ(WriteWholeFile(dir / "config.txt", c.text), 0);
    ConfigStore store(dir / "config.txt");
    EXPECT_EQ(store.LastError(), 0) << c.name;
    auto root = store.Snapshot("config");
    ASSERT_TRUE(root) << c.name;
    EXPECT_EQ(SerializeConfig(*root), kTwoAccounts) << c.name;
  }
}

TEST(ConfigStore, FallsBackToTheDefault) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"cr line ends", "BEGIN:config\rBEGIN:mailpull\rMaxThread:4\rEND:mailpull\rEND:config\r"},
      {"last block unclosed", "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:4\r\nEND:mailpull\r\n"},
      {"no begin", "MaxThread:4\r\n"},
      {"only a bom", kBom},
      {"empty", ""},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    ASSERT_EQ(WriteWholeFile(dir / "config.txt", c.text), 0);
    ConfigStore store(dir / "config.txt");
    auto root = store.Snapshot("config");
    ASSERT_TRUE(root) << c.name;
    EXPECT_EQ(SerializeConfig(*root), kDefaultConfigText) << c.name;
    EXPECT_EQ(FileText(dir / "config.txt"), c.text) << c.name;  // left as it was
  }
  test::TempDir dir;
  ConfigStore missing(dir / "config.txt");
  EXPECT_EQ(missing.LastError(), err::kFileNotFound);
  EXPECT_EQ(missing.GetInteger("config/mailpull", "MaxThread", false), 20);
  EXPECT_FALSE(FileExists(dir / "config.txt"));
}

TEST(ConfigStore, GetIntegerInheritsAndMissingIsZero) {
  test::TempDir dir;
  ASSERT_EQ(WriteWholeFile(dir / "config.txt", kTwoAccounts), 0);
  ConfigStore store(dir / "config.txt");
  EXPECT_EQ(store.GetInteger("config/mailpull/alpha", "MaxThread", true), 4);
  EXPECT_EQ(store.GetInteger("config/mailpull/alpha", "MaxThread", false), 0);
  EXPECT_EQ(store.GetInteger("config/mailpull/beta", "loglevel", false), 2);
  EXPECT_EQ(store.GetInteger("config/mailpull/gamma", "LogLevel", true), 0);
}

TEST(ConfigStore, SnapshotIsAnIndependentCopy) {
  test::TempDir dir;
  ASSERT_EQ(WriteWholeFile(dir / "config.txt", kTwoAccounts), 0);
  ConfigStore store(dir / "config.txt");
  auto a = store.Snapshot("config/MAILPULL/alpha/");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->name, "alpha");
  a->Set("Server", "changed");
  EXPECT_EQ(store.Snapshot("config/mailpull/alpha")->Entry("Server")->value, "pop.example.org");
  EXPECT_FALSE(store.Snapshot("config/mailpull/gamma"));
}

TEST(ConfigStore, ClearUpdateChangesMemoryOnly) {
  test::TempDir dir;
  ASSERT_EQ(WriteWholeFile(dir / "config.txt", kTwoAccounts), 0);
  ConfigStore store(dir / "config.txt");
  store.ClearUpdate("config/mailpull/alpha");
  store.ClearUpdate("config/mailpull/beta");  // no Update entry: nothing added
  EXPECT_EQ(store.Snapshot("config/mailpull/alpha")->Entry("Update")->value, "0");
  EXPECT_EQ(store.Snapshot("config/mailpull/beta")->Entry("Update"), nullptr);
  EXPECT_EQ(FileText(dir / "config.txt"), kTwoAccounts);
}

TEST(ConfigStore, ReplaceWritesBomAndWholeTree) {
  test::TempDir dir;
  ASSERT_EQ(WriteWholeFile(dir / "config.txt", kTwoAccounts), 0);
  ConfigStore store(dir / "config.txt");
  auto nb = ParseConfig("BEGIN:alpha\r\nBEGIN:sub\r\nEND:sub\r\nServer:new\r\nEND:alpha\r\n");
  ASSERT_TRUE(nb);
  ASSERT_TRUE(store.Replace("config/mailpull/alpha", std::move(*nb)));
  EXPECT_EQ(store.LastError(), 0);
  std::string expected =
      "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:4\r\n"
      "BEGIN:alpha\r\nServer:new\r\nBEGIN:sub\r\nEND:sub\r\nEND:alpha\r\n"
      "BEGIN:beta\r\nLogLevel:2\r\nEND:beta\r\n"
      "END:mailpull\r\nEND:config\r\n";
  EXPECT_EQ(FileText(dir / "config.txt"), kBom + expected);
  EXPECT_EQ(ListFiles(dir.path()).size(), 1u);
  ConfigStore reread(dir / "config.txt");
  EXPECT_EQ(SerializeConfig(*reread.Snapshot("config")), expected);

  // The root's own name replaces the root.
  ASSERT_TRUE(store.Replace("config", *ParseConfig(kDefaultConfigText)));
  EXPECT_EQ(FileText(dir / "config.txt"), kBom + std::string(kDefaultConfigText));
}

TEST(ConfigStore, ReplaceOfUnknownPathChangesAndWritesNothing) {
  test::TempDir dir;
  ConfigStore store(dir / "config.txt");  // default text, no file
  EXPECT_FALSE(store.Replace("config/mailpull/nobody", ConfigBlock{"nobody", {}, {}}));
  EXPECT_FALSE(FileExists(dir / "config.txt"));
  EXPECT_EQ(SerializeConfig(*store.Snapshot("config")), kDefaultConfigText);
}

TEST(ConfigStore, ReplaceRefusesATreeTooDeepToReadBack) {
  test::TempDir dir;
  ConfigStore store(dir / "config.txt");
  std::string text;
  for (std::size_t i = 0; i + 1 < kMaxConfigDepth; ++i) text += "BEGIN:mailpull\r\n";
  for (std::size_t i = 0; i + 1 < kMaxConfigDepth; ++i) text += "END:mailpull\r\n";
  auto deep = ParseConfig(text);
  ASSERT_TRUE(deep);
  ConfigBlock tooDeep{"mailpull", {}, {*deep}};
  EXPECT_FALSE(store.Replace("config/mailpull", std::move(tooDeep)));
  EXPECT_FALSE(FileExists(dir / "config.txt"));
  ASSERT_TRUE(store.Replace("config/mailpull", std::move(*deep)));
  ConfigStore reread(dir / "config.txt");
  EXPECT_EQ(reread.LastError(), 0);
  EXPECT_EQ(ConfigDepth(*reread.Snapshot("config")), kMaxConfigDepth);
}

TEST(ConfigStore, FailedSaveKeepsOldFileAndNewMemoryTree) {
  test::TempDir dir;
  std::string conf = dir / "conf";
  ASSERT_EQ(MakeFolder(conf), 0);
  ASSERT_EQ(WriteWholeFile(conf + "/config.txt", kTwoAccounts), 0);
  ConfigStore store(conf + "/config.txt");
  // Put a folder where the file is: the rename over it fails.
  ASSERT_EQ(RemoveFile(conf + "/config.txt"), 0);
  ASSERT_EQ(MakeFolder(conf + "/config.txt"), 0);
  ASSERT_EQ(WriteWholeFile(conf + "/config.txt/keep", "old"), 0);
  ASSERT_TRUE(store.Replace("config/mailpull/beta", ConfigBlock{"beta", {{"LogLevel", "3"}}, {}}));
  EXPECT_NE(store.LastError(), 0);
  EXPECT_EQ(FileText(conf + "/config.txt/keep"), "old");
  EXPECT_EQ(ListFiles(conf).size(), 0u);  // no temporary left behind
  EXPECT_EQ(store.GetInteger("config/mailpull/beta", "LogLevel", false), 3);

  // Once the file can be written again, the next save clears the error.
  ASSERT_EQ(RemoveFile(conf + "/config.txt/keep"), 0);
  ASSERT_TRUE(std::filesystem::remove(conf + "/config.txt"));
  ASSERT_TRUE(store.Replace("config/mailpull/beta", ConfigBlock{"beta", {{"LogLevel", "4"}}, {}}));
  EXPECT_EQ(store.LastError(), 0);
  ConfigStore reread(conf + "/config.txt");
  EXPECT_EQ(reread.GetInteger("config/mailpull/beta", "LogLevel", false), 4);
}

}  // namespace
}  // namespace tarnwick
