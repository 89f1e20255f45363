#include "message/Encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Host.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

std::string AsString(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64EncodeTest, Table) {
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\0"s, "//4A"},
      {"\xFB\xEF", "++8="},
      {"user\0user\0secret"s, "dXNlcgB1c2VyAHNlY3JldA=="},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Encode(c.bytes), c.text);
}

TEST(Base64EncodeTest, NoLineBreaksInLongOutput) {
  std::vector<std::uint8_t> bytes(3000, 0x5A);
  std::string text = Base64Encode(bytes);
  EXPECT_EQ(text.size(), 4000u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64DecodeTest, Table) {
  const struct {
    const char* what;
    std::string text;
    std::string bytes;
  } cases[] = {
      {"plain", "Zm9vYmFy", "foobar"},
      {"one padding", "Zm9vYmE=", "fooba"},
      {"two padding", "Zm9vYg==", "foob"},
      {"line breaks", "Zm9v\r\nYmFy\r\n", "foobar"},
      {"blanks and tabs", " Zm 9v\tYm E= ", "fooba"},
      {"line break inside the padding", "Zg=\r\n=", "f"},
      {"binary", "//4A", "\xFF\xFE\0"s},
      {"zero byte is skipped", "Zm9v\0YmFy"s, "foobar"},
      {"two characters", "Zg", ""},
      {"three characters, no full group", "Zm9", ""},
      {"unpadded tail is ignored", "Zm9vYmE", "foo"},
      {"only padding", "====", ""},
      {"more padding than a group holds", "Zm9v=====", "f"},
      {"no Base64 character", "!!!\r\n", ""},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(AsString(Base64Decode(c.text)), c.bytes);
  }
}

TEST(QuotedPrintableDecodeTest, Table) {
  const struct {
    const char* what;
    std::string text;
    std::string bytes;
  } cases[] = {
      {"hex pair", "a=3Db", "a=b"},
      {"lower-case hex", "=e4=C3=a4", "\xE4\xC3\xA4"},
      {"soft line break", "soft=\r\nbreak", "softbreak"},
      {"soft break eats every LF", "soft=\r\n\n\nbreak", "softbreak"},
      {"soft break before dot-stuffed line", "line=\r\n..dot", "line.dot"},
      {"soft break before single dot", "line=\r\n.dot", "line.dot"},
      {"dots without soft break stay", "a\r\n..b", "a\r\n..b"},
      {"= at the end ends decoding", "end=", "end"},
      {"= with one character ends decoding", "end=4", "end"},
      {"= with CR at the end", "x=\r", "x"},
      {"= before bare LF is not a soft break", "=\n4", "\xE4"},
      {"non-hex digit counts 254", "=G0", "\xE0"},
      {"= counts 255", "==41", "\xF4" "1"},
      {"below 0 counts -2", "= A", "\xEA"},
      {"underscore stays", "a_b", "a_b"},
      {"zero byte is copied", "x\0y"s, "x\0y"s},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(AsString(QuotedPrintableDecode(c.text)), c.bytes);
  }
}

TEST(PercentEncodeTest, Table) {
  const struct {
    std::string text;
    const char* encoded;
  } cases[] = {
      {"a b", "a%20b"},
      {"host.name-1_x@Y", "host.name-1_x@Y"},
      {"a/b:c%", "a%2fb%3ac%25"},
      {"\xC3\xA9", "%c3%a9"},
      {"\0"s, "%00"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PercentEncode(c.text), c.encoded);
}

TEST(PercentEncodeTest, LocalHostNameIsTheEncodedComputerName) {
  std::string name = ComputerName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
  EXPECT_EQ(LocalHostNameEncoded(), PercentEncode(name));
}

}  // namespace
}  // namespace tarnwick
