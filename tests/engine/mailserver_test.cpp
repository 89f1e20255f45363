#include "engine/MailServerInterface.h"

#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

class MailServer : public ::testing::Test {
 protected:
  void SetRoot(const RegValue& v) {
    ASSERT_EQ(RegWriteValue(RegHive::LocalMachine, "Software\\Varnholt", "", v), 0);
  }
  test::TempDir sys;
  test::ScopedSysroot sysroot{sys.path()};
};

TEST_F(MailServer, RootComesFromTheRegistryDefaultValue) {
  EXPECT_EQ(MailServerRoot(), "/opt/varnholt");  // no registry file
  SetRoot(RegValue::Str("/srv/varnholt"));
  EXPECT_EQ(MailServerRoot(), "/srv/varnholt");
  SetRoot(RegValue::Expand("%ROOT%/v"));
  EXPECT_EQ(MailServerRoot(), "%ROOT%/v");  // not expanded
  SetRoot(RegValue::Dword(1));
  EXPECT_EQ(MailServerRoot(), "/opt/varnholt");
  SetRoot(RegValue::Str("/" + std::string(259, 'a')));
  EXPECT_EQ(MailServerRoot().size(), 260u);
  SetRoot(RegValue::Str("/" + std::string(299, 'a')));
  EXPECT_EQ(MailServerRoot(), "/opt/varnholt");
  // A named value is not the default value.
  ASSERT_EQ(RegDeleteValue(RegHive::LocalMachine, "Software\\Varnholt", ""), 0);
  ASSERT_EQ(RegWriteValue(RegHive::LocalMachine, "Software\\Varnholt", "Root", RegValue::Str("/x")), 0);
  EXPECT_EQ(MailServerRoot(), "/opt/varnholt");
}

TEST_F(MailServer, DataFolderLine) {
  std::string root = sys / "ms";
  SetRoot(RegValue::Str(root));
  ASSERT_EQ(MakeFolders(root + "/conf"), 0);
  struct {
    const char* what;
    std::optional<std::string> file;
    std::string expected;
  } cases[] = {
      {"no file", std::nullopt, root + "/data"},
      {"value trimmed of blanks and ;", "a:1\r\nstorage/datafolder:  /d/data ;\r\nb:2\r\n", "/d/data"},
      {"first line is not searched", "storage/datafolder:/d/data\r\nx:1\r\n", root + "/data"},
      {"no line end after the value", "x\nstorage/datafolder:/d/data", root + "/data"},
      {"empty value", "x\nstorage/datafolder: ; \r\n", root + "/data"},
      {"prefix of another key is no match", "x\nmy/storage/datafolder:/d\n", root + "/data"},
      {"first of two lines", "x\nstorage/datafolder:/one\nstorage/datafolder:/two\n", "/one"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile(root + "/conf/config.txt");
    if (c.file) {
      ASSERT_EQ(WriteWholeFile(root + "/conf/config.txt", *c.file), 0);
    }
    EXPECT_EQ(MailServerDataFolder(), c.expected);
  }
  EXPECT_EQ(MailServerQueueFolder(), root + "/queue");
}

TEST_F(MailServer, MailboxExistsIsTheUserFolder) {
  std::string data = sys / "data";
  ASSERT_EQ(MakeFolders(data + "/example.org/user/anna"), 0);
  ASSERT_EQ(WriteWholeFile(data + "/example.org/user/file", "x"), 0);
  EXPECT_TRUE(MailboxExists(data, "anna", "example.org"));
  EXPECT_FALSE(MailboxExists(data, "bob", "example.org"));
  EXPECT_FALSE(MailboxExists(data, "file", "example.org"));
  EXPECT_FALSE(MailboxExists(data, "anna", "example.com"));
  // Names from messages cannot walk out of the data folder.
  EXPECT_FALSE(MailboxExists(data, "..", "example.org"));
  EXPECT_FALSE(MailboxExists(data, "anna", "example.org/user/anna/.."));
  EXPECT_FALSE(MailboxExists(data, "", "example.org"));
}

std::string DomainFile(std::size_t size, uint32_t valueAt84) {
  std::string d(size, '\x55');
  if (size >= 88)
    for (int i = 0; i < 4; ++i) d[84 + i] = static_cast<char>((valueAt84 >> (8 * i)) & 0xFF);
  return d;
}

TEST_F(MailServer, DomainAcceptsAllReadsTheIntegerAtOffset84) {
  std::string data = sys / "data";
  ASSERT_EQ(MakeFolders(data + "/d.org"), 0);
  struct {
    const char* what;
    std::string content;
    bool expected;
  } cases[] = {
      {"one", DomainFile(160, 1), true},
      {"zero", DomainFile(160, 0), false},
      {"negative", DomainFile(160, 0xFFFFFFFFu), false},
      {"little-endian high byte", DomainFile(160, 0x00000100u), true},
      {"sign bit only", DomainFile(160, 0x80000000u), false},
      {"longer file", DomainFile(4096, 7), true},
      {"159 bytes", DomainFile(159, 1), false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(WriteWholeFile(data + "/d.org/domain.dat", c.content), 0);
    EXPECT_EQ(DomainAcceptsAll(data, "d.org"), c.expected);
  }
  EXPECT_FALSE(DomainAcceptsAll(data, "missing.org"));
  EXPECT_FALSE(DomainAcceptsAll(data, "../data/d.org"));
}

TEST_F(MailServer, MailboxLookupIgnoresLetterCase) {
  std::string data = sys / "data";
  ASSERT_EQ(MakeFolders(data + "/example.com/user/ann"), 0);
  ASSERT_EQ(MakeFolders(data + "/Other.ORG/user/Bob"), 0);
  ASSERT_EQ(WriteWholeFile(data + "/example.com/domain.dat", DomainFile(160, 1)), 0);
  EXPECT_TRUE(MailboxExists(data, "ann", "Example.COM"));
  EXPECT_TRUE(MailboxExists(data, "ANN", "example.com"));
  EXPECT_TRUE(MailboxExists(data, "bob", "other.org"));
  EXPECT_TRUE(DomainAcceptsAll(data, "EXAMPLE.com"));
  EXPECT_FALSE(MailboxExists(data, "anne", "example.com"));
  // Only ASCII letters fold, and the refusals of unsafe names stay.
  EXPECT_FALSE(MailboxExists(data, "\xC3\x84nn", "example.com"));
  EXPECT_FALSE(MailboxExists(data, "ann", "example.com/USER/.."));
  EXPECT_FALSE(MailboxExists(data, "..", "EXAMPLE.COM"));
}

TEST_F(MailServer, DomainFileThatCannotBeReadGivesFalseAfterOneRetry) {
  std::string data = sys / "data";
  // A folder in place of the file fails the read with an error that is
  // worth one more try.
  ASSERT_EQ(MakeFolders(data + "/d.org/domain.dat"), 0);
  EXPECT_FALSE(DomainAcceptsAll(data, "d.org"));
}

}  // namespace
}  // namespace tarnwick
