#include "control/ControlMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

std::string Head(int32_t magic, int32_t type, int32_t rest) {
  std::string m = EncodeControlMessage(magic, type, "");
  std::string h = m.substr(0, 8);
  std::string r = EncodeControlMessage(rest, 0, "");  // big-endian rest in bytes 0..3
  return h + r.substr(0, 4);
}

std::string Be(int32_t v) { return EncodeControlMessage(v, 0, "").substr(0, 4); }

struct Fed {
  ControlReader::Status status;
  std::size_t consumed = 0;
  std::vector<ControlMessage> messages;
};

// Feeds bytes in pieces of the given size, collecting every message.
Fed FeedAll(ControlReader& r, std::string_view bytes, std::size_t piece) {
  Fed f{ControlReader::Status::kNeedMore, 0, {}};
  while (f.consumed < bytes.size()) {
    std::size_t n = std::min(piece, bytes.size() - f.consumed);
    std::size_t used = 0;
    f.status = r.Feed(std::span<const char>(bytes.data() + f.consumed, n), used);
    f.consumed += used;
    if (f.status == ControlReader::Status::kError) return f;
    if (f.status == ControlReader::Status::kMessage) f.messages.push_back(r.Take());
    else if (used < n) ADD_FAILURE() << "needs more but left bytes";
  }
  return f;
}

TEST(ControlFraming, EmptyRequestIsSixteenBytes) {
  std::string m = EncodeControlMessage(kRequestMagic, kStatusList, "");
  EXPECT_EQ(m, std::string("\x00\x00\xEF\x01\x00\x00\x00\x04\x00\x00\x00\x04\x00\x00\x00\x00", 16));
  std::string r = EncodeControlMessage(kReplyMagic, kPutConfig, "ab");
  EXPECT_EQ(r, std::string("\x00\x00\xEF\x02\x00\x00\x00\x03\x00\x00\x00\x06\x00\x00\x00\x02"
                           "ab", 18));
}

TEST(ControlFraming, MessagesSurviveAnyCutting) {
  std::string big(200000, 'x');
  big[100] = '\0';
  std::string stream = EncodeControlMessage(kReplyMagic, kGetConfig, "BEGIN:a\r\nEND:a\r\n") +
                       EncodeControlMessage(kReplyMagic, kStatusList, "") +
                       EncodeControlMessage(kReplyMagic, kLogList, big);
  for (ControlReader::Side side : {ControlReader::Side::kEngine, ControlReader::Side::kAdmin}) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{12}, kAdminPieceSize,
                              kEnginePieceSize, stream.size()}) {
      ControlReader r(side);
      Fed f = FeedAll(r, stream, piece);
      ASSERT_EQ(f.messages.size(), 3u) << piece;
      EXPECT_EQ(f.messages[0].type, kGetConfig);
      EXPECT_EQ(f.messages[0].magic, kReplyMagic);
      EXPECT_EQ(f.messages[0].Text(), "BEGIN:a\r\nEND:a\r\n");
      EXPECT_EQ(f.messages[1].dataLength, 0);
      EXPECT_EQ(f.messages[1].restLength, 4);
      EXPECT_EQ(f.messages[2].data.size(), big.size());
      EXPECT_EQ(f.messages[2].Text().size(), 100u);  // a NUL ends the text
      EXPECT_EQ(r.Wanted(), kControlHeadSize);
      EXPECT_FALSE(r.InMessage());
    }
  }
}

TEST(ControlFraming, WantedFollowsTheTwoCountedSteps) {
  ControlReader r(ControlReader::Side::kAdmin);
  std::string m = EncodeControlMessage(kReplyMagic, kHello, "sid:5\r\n");
  EXPECT_EQ(r.Wanted(), 12u);
  std::size_t used = 0;
  EXPECT_EQ(r.Feed(std::span<const char>(m.data(), 5), used), ControlReader::Status::kNeedMore);
  EXPECT_EQ(r.Wanted(), 7u);
  EXPECT_EQ(r.Feed(std::span<const char>(m.data() + 5, 7), used), ControlReader::Status::kNeedMore);
  EXPECT_EQ(r.Wanted(), 4u + 7u);
  // Bytes of a following message are not taken.
  std::string tail = m.substr(12) + "NEXT";
  EXPECT_EQ(r.Feed(std::span<const char>(tail.data(), tail.size()), used),
            ControlReader::Status::kMessage);
  EXPECT_EQ(used, tail.size() - 4);
  EXPECT_EQ(r.Take().Text(), "sid:5\r\n");
}

// Heads and rests that the two sides read differently.
TEST(ControlFraming, HeadAndRestRules) {
  using S = ControlReader::Status;
  using Side = ControlReader::Side;
  struct Case {
    const char* name;
    std::string bytes;
    Side side;
    S status;
    const char* text;  // when a message results
  } cases[] = {
      {"type 8", Head(kRequestMagic, 8, 4) + Be(0), Side::kEngine, S::kError, ""},
      {"negative type", Head(kRequestMagic, -1, 4) + Be(0), Side::kAdmin, S::kError, ""},
      {"magic not checked", Head(0x1234, kHello, 4) + Be(0), Side::kEngine, S::kMessage, ""},
      {"engine rest 0", Head(kRequestMagic, kHello, 0), Side::kEngine, S::kError, ""},
      {"engine rest negative", Head(kRequestMagic, kHello, -4), Side::kEngine, S::kError, ""},
      {"engine rest above 64 MiB", Head(kRequestMagic, kPutConfig, kMaxControlRest + 1),
       Side::kEngine, S::kError, ""},
      {"admin rest above 64 MiB", Head(kReplyMagic, kGetConfig, 0x7fffffff), Side::kAdmin,
       S::kError, ""},
      {"engine rest 2 has no data", Head(kRequestMagic, kHello, 2) + "ab", Side::kEngine,
       S::kMessage, ""},
      {"engine data length too big", Head(kRequestMagic, kRunNow, 6) + Be(3) + "ab",
       Side::kEngine, S::kMessage, ""},
      {"engine data length negative", Head(kRequestMagic, kRunNow, 6) + Be(-1) + "ab",
       Side::kEngine, S::kMessage, ""},
      {"engine data shorter than rest", Head(kRequestMagic, kRunNow, 8) + Be(2) + "abcd",
       Side::kEngine, S::kMessage, "ab"},
      {"admin rest 0", Head(kReplyMagic, kHello, 0), Side::kAdmin, S::kMessage, ""},
      {"admin rest negative", Head(kReplyMagic, kHello, -7), Side::kAdmin, S::kMessage, ""},
      {"admin rest 3", Head(kReplyMagic, kHello, 3) + "abc", Side::kAdmin, S::kError, ""},
      {"admin data length too big", Head(kReplyMagic, kHello, 6) + Be(3) + "ab", Side::kAdmin,
       S::kError, ""},
  };
  for (const Case& c : cases) {
    ControlReader r(c.side);
    Fed f = FeedAll(r, c.bytes, c.bytes.size());
    if (c.status == S::kMessage) {
      ASSERT_EQ(f.messages.size(), 1u) << c.name;
      EXPECT_EQ(f.messages[0].Text(), c.text) << c.name;
    } else {
      EXPECT_EQ(f.status, c.status) << c.name;
      EXPECT_FALSE(r.Error().empty()) << c.name;
    }
  }
}

TEST(RequestHead, FieldsAndBody) {
  struct Case {
    const char* data;
    const char* field;
    const char* value;  // nullptr: absent
  } cases[] = {
      {"config_name: config/mailpull", "config_name", "config/mailpull"},
      {"CONFIG_NAME:   config/mailpull  \r\n\r\n", "config_name", "config/mailpull"},
      {"Config_Name:\tconfig/mailpull\t\r\n\r\nBEGIN:x\r\n", "config_name", "config/mailpull"},
      {"testresult: Acct One\r\n\r\n", "testresult", "Acct One"},
      {"config_name : x\r\n\r\n", "config_name", nullptr},
      {"\r\n\r\nconfig_name: x\r\n", "config_name", nullptr},
      {"x: 1\r\n\r\nconfig_name: body\r\n", "config_name", nullptr},
      {"", "config_name", nullptr},
  };
  for (const Case& c : cases) {
    auto v = RequestHeadValue(c.data, c.field);
    if (!c.value) {
      EXPECT_FALSE(v) << c.data;
    } else {
      ASSERT_TRUE(v) << c.data;
      EXPECT_EQ(*v, c.value) << c.data;
    }
  }
  EXPECT_EQ(RequestBody("config_name:x\r\n\r\nBEGIN:a\r\n"), "BEGIN:a\r\n");
  EXPECT_EQ(RequestBody("config_name:x\r\n\r\n"), "");
  EXPECT_FALSE(RequestBody("config_name:x\r\nBEGIN:a\r\n"));
  EXPECT_FALSE(RequestBody(std::string_view("config_name:x\0\r\n\r\nBEGIN:a", 25)));
}

}  // namespace
}  // namespace tarnwick
