#include "config/ConfigBlock.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

std::string Rt(std::string_view text) {
  auto b = ParseConfig(text);
  return b ? SerializeConfig(*b) : "<none>";
}

TEST(ConfigParse, MarkersInAnyCaseOpenAndCloseBlocks) {
  auto b = ParseConfig("begin:config\r\nBeGiN:MailPull\r\nMaxThread:20\r\neNd:mailpull\r\nEND:CONFIG\r\n");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->name, "config");
  ASSERT_EQ(b->children.size(), 1u);
  EXPECT_EQ(b->children[0].name, "MailPull");
  EXPECT_NE(FindBlock(*b, "config/MailPull"), nullptr);
  EXPECT_NE(FindBlock(*b, "CONFIG/mailpull/"), nullptr);
  EXPECT_EQ(FindBlock(*b, "config/mail"), nullptr);
  EXPECT_EQ(FindBlock(*b, "conf"), nullptr);
}

TEST(ConfigParse, KeyLines) {
  struct Case {
    const char* line;  // placed alone inside "BEGIN:a" ... "END:a"
    const char* key;
    const char* value;
  } cases[] = {
      {"Server:  mail.example.org  \r\n", "Server", "mail.example.org"},
      {"Server:\tx\t\r\n", "Server", "x"},
      {"  Padded Key :v\r\n", "Padded Key ", "v"},  // after a marker line: a key line
      {"Note:first\r\n\tsecond\r\n", "Note", "first\r\n\tsecond"},
      {"Note:first\r\n  second\r\n third\r\n", "Note", "first\r\n  second\r\n third"},
      {"Url:http://x:80/\r\n", "Url", "http://x:80/"},
      {"Empty:\r\n", "Empty", ""},
      {":anonymous\r\n", "", "anonymous"},
      {"  BEGIN:inner\r\n", "BEGIN", "inner"},
      {"END:other\r\n", "END", "other"},
      {"lf only:yes\n", "lf only", "yes"},
  };
  for (const Case& c : cases) {
    std::string text = std::string("BEGIN:a\r\n") + c.line + "END:a\r\n";
    auto b = ParseConfig(text);
    ASSERT_TRUE(b) << c.line;
    ASSERT_EQ(b->entries.size(), 1u) << c.line;
    EXPECT_EQ(b->entries[0].key, c.key) << c.line;
    EXPECT_EQ(b->entries[0].value, c.value) << c.line;
    EXPECT_TRUE(b->children.empty()) << c.line;
  }
}

TEST(ConfigParse, IgnoredLines) {
  for (const char* line : {"no colon here\r\n", "\r\n", " \t \r\n", "\n"}) {
    std::string text = std::string("BEGIN:a\r\n") + line + "END:a\r\n";
    auto b = ParseConfig(text);
    ASSERT_TRUE(b) << line;
    EXPECT_TRUE(b->entries.empty()) << line;
  }
}

TEST(ConfigParse, IndentedMarkerAfterKeyLineJoinsTheValue) {
  auto b = ParseConfig("BEGIN:a\r\nk:v\r\n BEGIN:b\r\nEND:a\r\n");
  ASSERT_TRUE(b);
  ASSERT_EQ(b->entries.size(), 1u);
  EXPECT_EQ(b->entries[0].value, "v\r\n BEGIN:b");
  EXPECT_TRUE(b->children.empty());
}

TEST(ConfigParse, EndNamingAnotherBlockIsAnEntry) {
  // The open block still needs its own END line.
  EXPECT_FALSE(ParseConfig("BEGIN:a\r\nBEGIN:b\r\nEND:a\r\nEND:a\r\n"));
  auto b = ParseConfig("BEGIN:a\r\nBEGIN:b\r\nEND:a\r\nEND:b\r\nEND:a\r\n");
  ASSERT_TRUE(b);
  ASSERT_EQ(b->children.size(), 1u);
  ASSERT_EQ(b->children[0].entries.size(), 1u);
  EXPECT_EQ(b->children[0].entries[0].key, "END");
  EXPECT_EQ(b->children[0].entries[0].value, "a");
}

TEST(ConfigParse, Failures) {
  const char* cases[] = {
      "",
      "no block at all\r\n",
      "BEGIN:config",                                      // BEGIN at the very end
      "BEGIN:config\r\nk:v\r\n",                           // no END
      "BEGIN:config\rBEGIN:mailpull\rEND:mailpull\rEND:config\r",  // CR alone
      "BEGIN:a\r\nBEGIN:b\r\nEND:b",                       // child END without LF
      "BEGIN:a\r\nBEGIN:b\r\nEND:b\r\n",                   // last block unclosed
      "BEGIN:a\r\n END:a\r\n",                             // indented END is a key line
  };
  for (const char* c : cases) EXPECT_FALSE(ParseConfig(c)) << c;
}

TEST(ConfigParse, EndPositionAndTrailingText) {
  std::string_view text = "junk\r\nBEGIN:a\r\nEND:a\r\ntrailing BEGIN:x";
  std::size_t end = 0;
  auto b = ParseConfig(text, &end);
  ASSERT_TRUE(b);
  EXPECT_EQ(text.substr(end), "trailing BEGIN:x");
  ASSERT_TRUE(ParseConfig("BEGIN:a\r\nEND:a", &end));
  EXPECT_EQ(end, 14u);
}

TEST(ConfigParse, DepthIsBounded) {
  auto nested = [](std::size_t depth) {
    std::string t;
    for (std::size_t i = 0; i < depth; ++i) t += "BEGIN:b\r\n";
    for (std::size_t i = 0; i < depth; ++i) t += "END:b\r\n";
    return t;
  };
  auto ok = ParseConfig(nested(kMaxConfigDepth));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ConfigDepth(*ok), kMaxConfigDepth);
  EXPECT_FALSE(ParseConfig(nested(kMaxConfigDepth + 1)));
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "BEGIN:x\n";
  EXPECT_FALSE(ParseConfig(deep));
}

TEST(ConfigParse, LongContinuedValueAndManyEntries) {
  std::string t = "BEGIN:a\r\nk:v\r\n";
  for (int i = 0; i < 200000; ++i) t += " x\r\n";
  for (int i = 0; i < 200000; ++i) t += "e:1\r\n";
  t += "END:a\r\n";
  auto b = ParseConfig(t);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->entries.size(), 200001u);
  EXPECT_EQ(b->entries[0].value.size(), 1u + 200000u * 4u);
}

TEST(ConfigSerialize, EntriesBeforeChildrenWithCrLf) {
  EXPECT_EQ(Rt("BEGIN:a\nBEGIN:b\nx:1\nEND:b\nk:v\nEND:a\n"),
            "BEGIN:a\r\nk:v\r\nBEGIN:b\r\nx:1\r\nEND:b\r\nEND:a\r\n");
}

TEST(ConfigSerialize, WritesNothingThatReadsBackAsAMarker) {
  // An indented marker after a marker line is an entry; written at the start
  // of a line it would open or close a block.
  const char* text =
      "BEGIN:a\r\n  BEGIN:x\r\nBEGIN:b\r\n  end:B\r\n\tEND:a\r\nEND:b\r\nEND:a\r\n";
  auto b = ParseConfig(text);
  ASSERT_TRUE(b);
  ASSERT_EQ(b->entries.size(), 1u);
  ASSERT_EQ(b->children[0].entries.size(), 1u);  // "END:a" continues "end:B"
  std::string s = SerializeConfig(*b);
  EXPECT_EQ(s, "BEGIN:a\r\nBEGIN:b\r\nEND:b\r\nEND:a\r\n");

  ConfigBlock built{"a", {{"k", "one\nBEGIN:evil"}, {"END", "a"}, {"END", "other"}}, {}};
  auto back = ParseConfig(SerializeConfig(built));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->children.empty());
  ASSERT_EQ(back->entries.size(), 2u);
  EXPECT_EQ(back->entries[0].value, "one\n\tBEGIN:evil");
  EXPECT_EQ(back->entries[1].value, "other");
}

TEST(ConfigLookup, FirstMatchingSubtreeInFileOrderWins) {
  auto b = ParseConfig(
      "BEGIN:config\nBEGIN:mailpull\nid:1\nEND:mailpull\n"
      "BEGIN:mailpull\nid:2\nBEGIN:acct\nEND:acct\nEND:mailpull\nEND:config\n");
  ASSERT_TRUE(b);
  EXPECT_EQ(FindBlock(*b, "config/mailpull")->Entry("id")->value, "1");
  const ConfigBlock* acct = FindBlock(*b, "config/mailpull/acct");
  ASSERT_NE(acct, nullptr);
  EXPECT_EQ(&b->children[1].children[0], acct);
  EXPECT_EQ(FindBlockChain(*b, "config/mailpull/acct").size(), 3u);
}

TEST(ConfigLookup, FindEntryWithAndWithoutInherit) {
  auto b = ParseConfig(
      "BEGIN:config\nMaxThread:8\nLogLevel:2\nBEGIN:mailpull\nLogLevel:1\nlevel:x\nLOGLEVEL:9\n"
      "BEGIN:acct\nEND:acct\nEND:mailpull\nEND:config\n");
  ASSERT_TRUE(b);
  auto mt = FindEntry(*b, "config/mailpull", "maxthread", true);
  ASSERT_TRUE(mt);
  EXPECT_EQ(mt->entry->value, "8");
  EXPECT_EQ(mt->block, &*b);
  EXPECT_FALSE(FindEntry(*b, "config/mailpull", "MaxThread", false));
  auto ll = FindEntry(*b, "config/mailpull/acct", "LogLevel", true);
  ASSERT_TRUE(ll);
  EXPECT_EQ(ll->entry->value, "1");  // nearest ancestor, first duplicate
  EXPECT_FALSE(FindEntry(*b, "config/none", "LogLevel", true));
}

TEST(ConfigInt, DecimalRule) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"20", 20},          {"  -5", -5},       {"\t+7x", 7},  {"", 0},
      {"abc", 0},          {"- 3", 0},         {"12 34", 12}, {"0010", 10},
      {"2147483647", 2147483647}, {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1}, {"-99999999999999999999", -2147483647 - 1},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigInt(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace tarnwick
