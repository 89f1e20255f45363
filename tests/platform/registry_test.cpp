#include "platform/Registry.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <random>

namespace tarnwick {
namespace {

constexpr RegHive HKLM = RegHive::LocalMachine;
constexpr RegHive HKCR = RegHive::ClassesRoot;
constexpr RegHive HKCU = RegHive::CurrentUser;

struct ParseCase {
  const char* what;
  const char* text;
  RegHive hive;
  const char* key;
  const char* name;
  std::optional<RegValue> expected;
};

class RegistryParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RegistryParse, FindsWhatTheTextSays) {
  const ParseCase& c = GetParam();
  RegistryData reg = RegistryData::Parse(c.text);
  const RegValue* v = reg.Find(c.hive, c.key, c.name);
  if (!c.expected) {
    EXPECT_EQ(v, nullptr) << c.what;
  } else {
    ASSERT_NE(v, nullptr) << c.what;
    EXPECT_EQ(*v, *c.expected) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegistryParse,
    ::testing::Values(
        ParseCase{"default value", "[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\n@=\"/srv/varnholt\"\n", HKLM,
                  "Software\\Varnholt", "", RegValue::Str("/srv/varnholt")},
        ParseCase{"key and name ignore case", "[hkey_local_machine\\SOFTWARE\\varnholt]\n\"Home\"=\"x\"\n", HKLM,
                  "software\\VARNHOLT", "hOME", RegValue::Str("x")},
        ParseCase{"dword", "[HKEY_CURRENT_USER\\S]\n\"Count\"=dword:0000002a\n", HKCU, "S", "Count",
                  RegValue::Dword(42)},
        ParseCase{"dword all ones", "[HKEY_CURRENT_USER\\S]\n\"N\"=dword:FFFFFFFF\n", HKCU, "S", "N",
                  RegValue::Dword(0xFFFFFFFFu)},
        ParseCase{"expandable string stays unexpanded", "[HKEY_CURRENT_USER\\S]\n\"Home\"=expand:\"%HOME%/mail\"\n",
                  HKCU, "S", "Home", RegValue::Expand("%HOME%/mail")},
        ParseCase{"escapes", "[HKEY_CLASSES_ROOT\\A]\n\"q\\\"n\"=\"C:\\\\x \\\"y\\\"\"\n", HKCR, "A", "q\"n",
                  RegValue::Str("C:\\x \"y\"")},
        ParseCase{"CR LF line ends and blanks", "\r\n  [HKEY_CLASSES_ROOT\\A]  \r\n  @ = \"v\"  \r\n", HKCR, "A", "",
                  RegValue::Str("v")},
        ParseCase{"trailing backslash on key", "[HKEY_CLASSES_ROOT\\A\\B\\]\n@=\"v\"\n", HKCR, "A\\B", "",
                  RegValue::Str("v")},
        ParseCase{"later line wins", "[HKEY_CLASSES_ROOT\\A]\n@=\"1\"\n[HKEY_CLASSES_ROOT\\a]\n@=\"2\"\n", HKCR,
                  "A", "", RegValue::Str("2")},
        ParseCase{"comment line", "[HKEY_CLASSES_ROOT\\A]\n;@=\"1\"\n", HKCR, "A", "", std::nullopt},
        ParseCase{"value before any key", "@=\"1\"\n[HKEY_CLASSES_ROOT\\A]\n", HKCR, "A", "", std::nullopt},
        ParseCase{"unknown hive drops its values", "[HKEY_USERS\\A]\n@=\"1\"\n", HKCR, "A", "", std::nullopt},
        ParseCase{"unclosed key line drops its values", "[HKEY_CLASSES_ROOT\\A]\n[HKEY_CLASSES_ROOT\\B\n@=\"1\"\n",
                  HKCR, "A", "", std::nullopt},
        ParseCase{"dword with nine digits", "[HKEY_CLASSES_ROOT\\A]\n@=dword:000000001\n", HKCR, "A", "",
                  std::nullopt},
        ParseCase{"dword not hex", "[HKEY_CLASSES_ROOT\\A]\n@=dword:xyz\n", HKCR, "A", "", std::nullopt},
        ParseCase{"unterminated string", "[HKEY_CLASSES_ROOT\\A]\n@=\"abc\n", HKCR, "A", "", std::nullopt},
        ParseCase{"text after the string", "[HKEY_CLASSES_ROOT\\A]\n@=\"abc\" x\n", HKCR, "A", "", std::nullopt},
        ParseCase{"no equals sign", "[HKEY_CLASSES_ROOT\\A]\n\"n\" \"abc\"\n", HKCR, "A", "n", std::nullopt},
        ParseCase{"bare word data", "[HKEY_CLASSES_ROOT\\A]\n@=abc\n", HKCR, "A", "", std::nullopt},
        ParseCase{"other hive", "[HKEY_CLASSES_ROOT\\A]\n@=\"1\"\n", HKLM, "A", "", std::nullopt}),
    [](const auto& info) {
      std::string n = info.param.what;
      for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return n;
    });

TEST(Registry, GoodLinesSurviveAmongGarbage) {
  RegistryData reg = RegistryData::Parse(
      "garbage\n[HKEY_LOCAL_MACHINE\\K]\n\x01\x02\xff\n\"a\"=dword:1\n=\n\"\"=\"empty name\"\n"
      "\"b\"=\"two\"\n");
  ASSERT_NE(reg.Find(HKLM, "K", "a"), nullptr);
  EXPECT_EQ(reg.Find(HKLM, "K", "a")->number, 1u);
  ASSERT_NE(reg.Find(HKLM, "K", "b"), nullptr);
  EXPECT_EQ(reg.Find(HKLM, "K", ""), nullptr);  // an empty quoted name is no name
}

TEST(Registry, RandomBytesNeverCrash) {
  std::mt19937 rng(7);
  const std::string alphabet = "[]\\\"@=:;dwordexpandHKEY_LOCAL_MACHINE \r\n\t0123456789abcdef\x80\xff";
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    std::size_t len = rng() % 200;
    for (std::size_t i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    RegistryData reg = RegistryData::Parse(text);
    // Whatever was understood is written back in a form that reads the same.
    EXPECT_EQ(RegistryData::Parse(reg.Serialize()).Serialize(), reg.Serialize());
  }
}

TEST(Registry, SerializeRoundTripsEveryType) {
  RegistryData reg;
  ASSERT_TRUE(reg.Set(HKLM, "Software\\Varnholt", "", RegValue::Str("C:\\a \"b\"")));
  ASSERT_TRUE(reg.Set(HKCR, "AppID\\{X}", "LocalService", RegValue::Str("TarnwickSvc")));
  ASSERT_TRUE(reg.Set(HKCU, "S", "N", RegValue::Dword(0xdeadbeef)));
  ASSERT_TRUE(reg.Set(HKCU, "S", "E", RegValue::Expand("%HOME%")));
  EXPECT_FALSE(reg.Set(HKCU, "S", "bad", RegValue::Str("two\nlines")));
  RegistryData back = RegistryData::Parse(reg.Serialize());
  EXPECT_EQ(*back.Find(HKLM, "software\\varnholt", ""), RegValue::Str("C:\\a \"b\""));
  EXPECT_EQ(*back.Find(HKCR, "AppID\\{x}", "localservice"), RegValue::Str("TarnwickSvc"));
  EXPECT_EQ(*back.Find(HKCU, "S", "N"), RegValue::Dword(0xdeadbeef));
  EXPECT_EQ(*back.Find(HKCU, "S", "E"), RegValue::Expand("%HOME%"));
  EXPECT_EQ(back.Find(HKCU, "S", "bad"), nullptr);
}

TEST(Registry, FileOperations) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  RegValue v;
  EXPECT_EQ(RegReadValue(HKLM, "Software\\Varnholt", "", v), err::kFileNotFound);  // no file: empty
  EXPECT_FALSE(RegKeyExists(HKLM, "Software"));

  ASSERT_EQ(RegWriteValue(HKLM, "Software\\Varnholt", "", RegValue::Str("/srv/v")), 0);
  ASSERT_EQ(RegWriteValue(HKLM, "Software\\Varnholt\\Sub", "N", RegValue::Dword(5)), 0);
  ASSERT_EQ(RegWriteValue(HKCR, "CLSID\\{A}", "", RegValue::Str("obj")), 0);
  ASSERT_EQ(RegReadValue(HKLM, "SOFTWARE\\VARNHOLT", "", v), 0);
  EXPECT_EQ(v, RegValue::Str("/srv/v"));
  EXPECT_EQ(RegWriteValue(HKLM, "Software\\Varnholt", "x", RegValue::Str("a\rb")), err::kInvalidParameter);

  EXPECT_EQ(RegDeleteValue(HKCR, "CLSID\\{A}", ""), 0);
  EXPECT_EQ(RegDeleteValue(HKCR, "CLSID\\{A}", ""), err::kFileNotFound);
  EXPECT_TRUE(RegKeyExists(HKCR, "CLSID\\{A}"));

  // Deleting a key takes the keys below it, and only those.
  ASSERT_EQ(RegCreateKey(HKLM, "Software\\VarnholtOther"), 0);
  EXPECT_EQ(RegDeleteKey(HKLM, "software\\varnholt"), 0);
  EXPECT_FALSE(RegKeyExists(HKLM, "Software\\Varnholt\\Sub"));
  EXPECT_TRUE(RegKeyExists(HKLM, "Software\\VarnholtOther"));
  EXPECT_EQ(RegDeleteKey(HKLM, "Software\\Varnholt"), err::kFileNotFound);

  // The rewrite leaves exactly one file behind.
  EXPECT_EQ(ListFiles(root / "etc/tarnwick"), std::vector<std::string>{"registry"});
}

TEST(Registry, HandWrittenFileIsRead) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  ASSERT_EQ(MakeFolders(root / "etc/tarnwick", 0755), 0);
  ASSERT_EQ(WriteWholeFile(root / "etc/tarnwick/registry",
                           "; written by hand\r\n[HKEY_LOCAL_MACHINE\\Software\\Varnholt]\r\n@=\"/srv/varnholt\"\r\n"),
            0);
  RegValue v;
  ASSERT_EQ(RegReadValue(HKLM, "Software\\Varnholt", "", v), 0);
  EXPECT_EQ(v.text, "/srv/varnholt");
  // A change keeps what was there.
  ASSERT_EQ(RegWriteValue(HKCU, "X", "n", RegValue::Dword(1)), 0);
  ASSERT_EQ(RegReadValue(HKLM, "Software\\Varnholt", "", v), 0);
  EXPECT_EQ(v.text, "/srv/varnholt");
}

}  // namespace
}  // namespace tarnwick
