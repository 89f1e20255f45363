#include "message/Headers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarnwick {
namespace {

using namespace std::string_literals;

struct HeaderValueCase {
  const char* what;
  std::string message;
  std::string name;
  bool found;
  std::string value;
  std::size_t end;  // checked when found
};

TEST(HeaderValueTest, Table) {
  const HeaderValueCase cases[] = {
      {"name in other letter case", "From: a\r\nSUBJECT: Hi\r\n\r\n", "subject", true, "Hi", 22},
      {"name that only starts with the header name is skipped",
       "Subjects: no\r\nSubject: yes\r\n\r\n", "subject", true, "yes", 28},
      {"first line is examined", "Subject: x\r\n", "Subject", true, "x", 12},
      {"only the first match", "Subject: one\r\nSubject: two\r\n", "subject", true, "one", 14},
      {"folded value keeps CR LF and leading blanks",
       "Subject: one\r\n\ttwo\r\n  three \r\nX: y\r\n", "subject", true, "one\r\n\ttwo\r\n  three",
       30},
      {"last header without final LF runs to the end", "A: 1\r\nSubject:  last  ", "subject",
       true, "last", 22},
      {"empty value", "Subject:\r\nX: 1\r\n", "subject", true, "", 10},
      {"bare LF line ends", "A: 1\nSubject: x\n\nbody", "subject", true, "x", 16},
      {"header after the empty line is body", "From: a\r\n\r\nSubject: body\r\n", "subject",
       false, "", 0},
      {"bare LF empty line ends the section", "From: a\n\nSubject: body\n", "subject", false, "",
       0},
      {"name at the start of a continuation line is not a header",
       "X: a\r\n Subject: b\r\n\tSubject: c\r\n\r\n", "subject", false, "", 0},
      {"name must be followed directly by a colon", "Subject : x\r\n", "subject", false, "", 0},
      {"zero byte ends the text", "A: 1\r\n\0Subject: x\r\n"s, "subject", false, "", 0},
      {"empty name", "A: 1\r\n", "", false, "", 0},
      {"empty message", "", "subject", false, "", 0},
      {"name longer than the text", "Sub", "subject", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string value = "stale";
    std::size_t end = 12345;
    EXPECT_EQ(HeaderValue(c.message, c.name, value, &end), c.found);
    EXPECT_EQ(value, c.value);
    if (c.found) {
      EXPECT_EQ(end, c.end);
    }
  }
}

struct RemoveHeaderCase {
  const char* what;
  std::string message;
  std::string name;
  std::string expected;
};

TEST(RemoveHeaderTest, Table) {
  const RemoveHeaderCase cases[] = {
      {"header with continuation lines in the middle",
       "A: 1\r\nB: 2\r\n\tmore\r\n more\r\nC: 3\r\n\r\nbody", "b", "A: 1\r\nC: 3\r\n\r\nbody"},
      {"first header", "x-sender: a\r\nB: 2\r\n", "X-Sender", "B: 2\r\n"},
      {"last header without final LF cuts the text there", "A: 1\r\nB: 2", "b", "A: 1\r\n"},
      {"folded last header without final LF", "A: 1\r\nB: 2\r\n more", "b", "A: 1\r\n"},
      {"only the first match", "B: 1\r\nB: 2\r\n", "b", "B: 2\r\n"},
      {"name that only starts with the header name stays", "Bee: 1\r\nB: 2\r\n", "b",
       "Bee: 1\r\n"},
      {"header in the body stays", "A: 1\r\n\r\nB: 2\r\n", "b", "A: 1\r\n\r\nB: 2\r\n"},
      {"header after a bare LF empty line stays", "A: 1\n\nB: 2\n", "b", "A: 1\n\nB: 2\n"},
      {"continuation line is not a header start", "A: 1\r\n B: 2\r\n", "b", "A: 1\r\n B: 2\r\n"},
      {"no match", "A: 1\r\n", "b", "A: 1\r\n"},
      {"nothing after a zero byte is looked at", "A: 1\r\n\0B: 2\r\n"s, "b",
       "A: 1\r\n\0B: 2\r\n"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string message = c.message;
    RemoveHeader(message, c.name);
    EXPECT_EQ(message, c.expected);
  }
}

TEST(FindHeaderEndTest, Table) {
  const struct {
    std::string message;
    std::optional<std::size_t> end;
  } cases[] = {
      {"A: 1\r\nB: 2\r\n\r\nbody", 12},
      {"A: 1\n\nbody", 5},
      {"A: 1\r\n\nbody", 6},
      {"A: 1\r\nB: 2\r\n", std::nullopt},
      {"A: 1\r\n\r", std::nullopt},
      {"A: 1\n", std::nullopt},
      {"", std::nullopt},
      {"A: 1\r\n\0\r\n\r\n"s, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.message));
    EXPECT_EQ(FindHeaderEnd(c.message), c.end);
  }
}

TEST(TrimTest, Table) {
  const struct {
    std::string text;
    std::string set;
    std::string expected;
  } cases[] = {
      {" \r\n \t\r\n", " \r\n\t", ""},
      {"\t value with  inner blanks \r\n", " \r\n\t", "value with  inner blanks"},
      {"\"<ann@example.org>\"", " \"<>", "ann@example.org"},
      {"//folder/sub//", "/", "folder/sub"},
      {"  keep  ", "", "  keep  "},
      {"", " ", ""},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(Trim(text, c.set), c.expected) << testing::PrintToString(c.text);
    EXPECT_EQ(TrimView(c.text, c.set), c.expected);
  }
}

TEST(SplitAddressTest, Table) {
  const struct {
    std::string text;
    std::string name;
    std::string address;
  } cases[] = {
      {"\"Ann Lee\" <ann@example.org>", "Ann Lee", "ann@example.org"},
      {"<ann@example.org>", "ann@example.org", "ann@example.org"},
      {"ann@example.org", "ann@example.org", "ann@example.org"},
      {"  Ann   <ann@example.org>  ", "Ann", "ann@example.org"},
      {"=?utf-8?B?w4RubiBMZWU=?= <ann@example.org>", "\xC3\x84nn Lee", "ann@example.org"},
      {"\"=?iso-8859-1?Q?M=FCller?=\" <m@example.org>", "M\xC3\xBCller", "m@example.org"},
      {"M\xFCller <m@example.org>", "M\xC3\xBCller", "m@example.org"},
      // Only the ends are trimmed: text after ">" stays with the address.
      {"Ann <ann@example.org> (work)", "Ann", "ann@example.org> (work)"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string name = "stale", address = "stale";
    SplitAddress(c.text, name, address);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(address, c.address);
  }
}

// Large inputs of the shapes a hostile server can send finish (no quadratic
// scans); the ctest time-out catches a regression.
TEST(HeadersTest, LargeInputsWithoutEmptyLine) {
  std::string big;
  big.reserve(10 << 20);
  while (big.size() < (10u << 20)) big += "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
  std::string value;
  EXPECT_FALSE(HeaderValue(big, "subject", value));
  EXPECT_FALSE(FindHeaderEnd(big));
  std::string copy = big;
  RemoveHeader(copy, "subject");
  EXPECT_EQ(copy.size(), big.size());

  std::string folded = "Subject: x\r\n";
  while (folded.size() < (10u << 20)) folded += " continued\r\n";
  ASSERT_TRUE(HeaderValue(folded, "subject", value));
  EXPECT_EQ(value.size(), folded.size() - 9 - 2);
  RemoveHeader(folded, "subject");
  EXPECT_EQ(folded, "");

  std::string lf(10u << 20, '\n');
  EXPECT_EQ(FindHeaderEnd(lf), 1u);
}

}  // namespace
}  // namespace tarnwick
