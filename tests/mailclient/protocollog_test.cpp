// The protocol log stays inside its folder: the name comes from an account
// setting and the engine runs as root.
#include "mailclient/MailClient.h"

#include "platform/ConfinedFile.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick {
namespace {

TEST(ProtocolLog, NamesInsideTheFolderOnly) {
  struct Case {
    const char* name;
    const char* relative;  // nullptr: refused
  } cases[] = {
      {"a.log", "a.log"},
      {"./sub//a.log", "sub/a.log"},
      {"/srv/t/log/a.log", "a.log"},
      {"/srv/t/log//x/a.log", "x/a.log"},
      {"../a.log", nullptr},
      {"sub/../../a.log", nullptr},
      {"/srv/t/log/../conf/config.txt", nullptr},
      {"/etc/shadow", nullptr},
      {"/srv/t/logx/a.log", nullptr},
      {"/srv/t/log", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    std::string relative;
    int e = ConfinedRelativeName("/srv/t/log", c.name, relative);
    if (c.relative) {
      EXPECT_EQ(e, 0) << c.name;
      EXPECT_EQ(relative, c.relative) << c.name;
    } else {
      EXPECT_EQ(e, 123) << c.name;
    }
  }
}

TEST(ProtocolLog, FollowsNoLinkAndOpensNoFifo) {
  test::TempDir dir;
  std::string log = dir / "log";
  ASSERT_EQ(MakeFolder(log, 0700), 0);
  ASSERT_EQ(WriteWholeFile(dir / "secret", "keep"), 0);
  ASSERT_EQ(::symlink((dir / "secret").c_str(), (log + "/link.log").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (log + "/up").c_str()), 0);
  ASSERT_EQ(::mkfifo((log + "/fifo.log").c_str(), 0600), 0);
  FileHandle f;
  EXPECT_NE(OpenAppendConfined(log, "link.log", f), 0);
  EXPECT_NE(OpenAppendConfined(log, "up/secret", f), 0);
  EXPECT_NE(OpenAppendConfined(log, "fifo.log", f), 0);  // and does not hang without a reader
  std::string text;
  ASSERT_EQ(ReadWholeFile(dir / "secret", text), 0);
  EXPECT_EQ(text, "keep");
  ASSERT_EQ(OpenAppendConfined(log, "run.log", f), 0);
  EXPECT_TRUE(FileExists(log + "/run.log"));
}

TEST(ProtocolLog, NameOutsideTheFolderFailsTheRun) {
  test::TempDir dir;
  CMailClient s;
  s.LogFolder = dir / "log";
  s.SetLogFileName((dir / "elsewhere.log").c_str());
  CMailServer server;
  server.Server = "127.0.0.1";
  server.Port = 1;
  EXPECT_NE(s.Connect(&server), 0);
  EXPECT_NE(s.LastError.find("LogFileName \"" + (dir / "elsewhere.log") + "\" refused"), std::string::npos)
      << s.LastError;
  EXPECT_FALSE(FileExists(dir / "elsewhere.log"));
}

}  // namespace
}  // namespace tarnwick
