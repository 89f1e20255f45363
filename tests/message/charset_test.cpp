#include "message/Charset.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

using namespace std::string_literals;

TEST(CodePageOfTest, Table) {
  const struct {
    const char* name;
    unsigned codePage;
  } cases[] = {
      {"utf-8", 65001},       {"UTF-8", 65001},         {"iso-2022-jp", 50222},
      {"ISO-2022-JP", 50222}, {"csiso2022jp", 50221},   {"EUC-KR", 51949},
      {"hz-gb-2312", 52936},  {"gb2312", 936},          {"GBK", 936},
      {"DIN_66003", 20106},   {"_autodetect_kr", 50949}, {"iso-8859-15", 28605},
      {"windows-874", 874},   {"unicodeFEFF", 1201},    {"x-euc", 51932},
      {"utf8", 0},            {"utf-8 ", 0},            {"", 0},
      {"x-unknown", 0},       {"iso-8859-1*en", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CodePageOf(c.name), c.codePage) << c.name;
}

TEST(ToWideTest, Table) {
  const struct {
    const char* what;
    unsigned codePage;
    std::string bytes;
    std::string utf8;
  } cases[] = {
      {"ANSI keeps valid UTF-8", 0, "Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
      {"ANSI reads other bytes as 1252", 0, "Gr\xFC\xDF" "e \x80", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"},
      {"1252 bytes it leaves undefined", 1252, "\x81\x9D", "\xC2\x81\xC2\x9D"},
      {"latin-1", 28591, "\xE4", "\xC3\xA4"},
      {"iso-8859-5", 28595, "\xB0\xE4", "\xD0\x90\xD1\x84"},
      {"koi8-r", 20866, "\xC1", "\xD0\xB0"},
      {"shift-jis", 932, "\x83\x65", "\xE3\x83\x86"},
      {"iso-2022-jp with shifts", 50222, "\x1B$B%F%9%H\x1B(Bx", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88x"},
      // Half-width katakana (ESC ( I), under both names of the table.
      {"iso-2022-jp half-width kana", 50222, "\x1B(I12\x1B(Bx", "\xEF\xBD\xB1\xEF\xBD\xB2x"},
      {"csISO2022JP half-width kana", 50221, "\x1B(I1\x1B$B%F\x1B(B", "\xEF\xBD\xB1\xE3\x83\x86"},
      {"utf-16 holds zero bytes", 1200, "A\0B\0"s, "AB"},
      {"utf-16 big endian", 1201, "\0A\0B"s, "AB"},
      {"result ends at its first zero character", 1200, "A\0\0\0B\0"s, "A"},
      {"ANSI result ends at a zero byte", 0, "a\0b"s, "a"},
      {"invalid UTF-8 falls back to 1252", 65001, "a\xFF", "a\xC3\xBF"},
      {"bytes undefined in the code page fall back", 28598, "\xA1", "\xC2\xA1"},
      {"code page without converter", 52936, "abc\xE4", "abc\xC3\xA4"},
      {"unknown code page", 12345, "\xC3\xA4", "\xC3\xA4"},
      {"truncated utf-16", 1200, "A", "A"},
      {"empty", 28591, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ToWide(c.codePage, c.bytes), c.utf8);
  }
}

TEST(ToUtf8Test, EndsAtZeroAndKeepsOtherBytes) {
  EXPECT_EQ(ToUtf8("abc"), "abc");
  EXPECT_EQ(ToUtf8("a\0b"s), "a");
  EXPECT_EQ(ToUtf8("\xFF\xC3"), "\xFF\xC3");
  EXPECT_EQ(ToUtf8(""), "");
}

TEST(IsValidUtf8Test, Table) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain", true},          {"\xC3\xA4", true},       {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},          {"\xC0\xAF", false},      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},  {"\xF4\x90\x80\x80", false}, {"\x80", false},
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(DecodeHeaderTextTest, Table) {
  const struct {
    const char* what;
    std::string text;
    unsigned codePage;
    std::string utf8;
  } cases[] = {
      {"plain ASCII", "Hello World", 0, "Hello World"},
      {"plain text from the default code page", "Gr\xFC\xDF" "e", 0, "Gr\xC3\xBC\xC3\x9F" "e"},
      {"plain text from a named default code page", "\xB0", 28595, "\xD0\x90"},
      {"B word", "=?UTF-8?B?w6TDtsO8?=", 0, "\xC3\xA4\xC3\xB6\xC3\xBC"},
      {"Q word with underscore and lower-case q", "=?iso-8859-1?q?M=FCller_Hans?=", 0,
       "M\xC3\xBCller Hans"},
      {"text around a word", "Re: =?utf-8?Q?caf=C3=A9?= now", 0, "Re: caf\xC3\xA9 now"},
      {"blank between two words stays", "=?utf-8?Q?a?= =?utf-8?Q?b?=", 0, "a b"},
      {"unknown charset, 1252 bytes", "=?x-foo?Q?=E4?=", 0, "\xC3\xA4"},
      {"unknown charset, UTF-8 bytes", "=?x-foo?B?w6Q=?=", 28595, "\xC3\xA4"},
      {"empty charset takes the default", "=?" "?Q?=E4?=", 28595, "\xD1\x84"},
      {"iso-2022-jp word", "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=", 0,
       "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"},
      {"folded with a tab", "=?utf-8?Q?a?=\r\n\t=?utf-8?Q?b?=", 0, "ab"},
      {"folded plain text loses CR LF and one blank", "Hello\r\n  World", 0, "Hello World"},
      {"CR LF without blank stays", "a\r\nb", 0, "a\r\nb"},
      {"word that decodes to nothing", "x=?utf-8?B?" "?=y", 0, "xy"},
      {"Q word ending in a lone =", "=?utf-8?Q?a=?=", 0, "a"},
      {"no closing ?=", "Hi =?utf-8?Q?abc", 0, "Hi =?utf-8?Q?abc"},
      {"other encoding ends decoding", "=?utf-8?Q?a?= =?utf-8?X?b?= =?utf-8?Q?c?=", 0,
       "a =?utf-8?X?b?= =?utf-8?Q?c?="},
      {"no ? after the encoding", "=?utf-8?Qx=?=", 0, "=?utf-8?Qx=?="},
      {"no ? after the charset", "ab=?utf-8", 0, "ab=?utf-8"},
      {"lone =? at the end", "x =?", 0, "x =?"},
      {"malformed word in 1252 is converted", "=?\xE4", 0, "=?\xC3\xA4"},
      {"plain 1252 before a word is converted too", "\xE4 =?utf-8?Q?b?=", 0, "\xC3\xA4 b"},
      {"zero byte ends the text", "a\0=?utf-8?Q?b?="s, 0, "a"},
      {"decoded zero byte ends the word", "=?utf-8?Q?a=00b?=c", 0, "ac"},
      {"empty", "", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DecodeHeaderText(c.text, c.codePage), c.utf8);
  }
}

TEST(DecodeHeaderTextTest, LargeInputs) {
  std::string words;
  while (words.size() < (4u << 20)) words += "=?utf-8?Q?a?=";
  EXPECT_EQ(DecodeHeaderText(words).size(), words.size() / 13);

  std::string opens;
  while (opens.size() < (4u << 20)) opens += "=?x?";
  EXPECT_EQ(DecodeHeaderText(opens), opens);

  std::string folds;
  while (folds.size() < (4u << 20)) folds += "\r\n ";
  EXPECT_EQ(DecodeHeaderText(folds), "");
}

}  // namespace
}  // namespace tarnwick
