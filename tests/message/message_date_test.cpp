#include "message/MessageDate.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ScopedTimeZone.h"

namespace tarnwick {
namespace {

using test::ScopedTimeZone;

constexpr int64_t kMarch3 = 1236085509;  // Tue, 3 Mar 2009 13:05:09 UTC
constexpr int64_t kJuly3 = 1246622400;   // Fri, 3 Jul 2009 12:00:00 UTC
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST(MessageDateTest, ZonesEastAndWest) {
  const struct {
    const char* tz;
    int64_t when;
    const char* text;
  } cases[] = {
      {"UTC0", kMarch3, "Tue, 3 Mar 2009 13:05:09 -0000"},
      {kCentralEurope, kMarch3, "Tue, 3 Mar 2009 14:05:09 +0100"},
      {kCentralEurope, kJuly3, "Fri, 3 Jul 2009 14:00:00 +0200"},
      {"EST5EDT,M3.2.0,M11.1.0", kMarch3, "Tue, 3 Mar 2009 08:05:09 -0500"},
      {"EST5EDT,M3.2.0,M11.1.0", kJuly3, "Fri, 3 Jul 2009 08:00:00 -0400"},
      {"IST-5:30", kMarch3, "Tue, 3 Mar 2009 18:35:09 +0530"},
      {"NST3:30", kMarch3, "Tue, 3 Mar 2009 09:35:09 -0330"},
      {"NPT-5:45", kMarch3, "Tue, 3 Mar 2009 18:50:09 +0545"},
      {"LINT-14", kMarch3, "Wed, 4 Mar 2009 03:05:09 +1400"},
      {"UTC0", 0, "Thu, 1 Jan 1970 00:00:00 -0000"},
      {"UTC0", 1704067199, "Sun, 31 Dec 2023 23:59:59 -0000"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.tz);
    EXPECT_EQ(MessageDateAt(c.when), c.text) << c.tz;
  }
}

class FixedClock final : public Clock {
 public:
  explicit FixedClock(int64_t ms) : ms_(ms) {}
  int64_t NowMs() override { return ms_; }
  void SleepMs(int64_t) override {}

 private:
  int64_t ms_;
};

TEST(MessageDateTest, NowReadsTheGivenClock) {
  ScopedTimeZone zone("IST-5:30");
  FixedClock clock(kMarch3 * 1000 + 999);
  EXPECT_EQ(MessageDateNow(clock), "Tue, 3 Mar 2009 18:35:09 +0530");
}

struct ParseCase {
  const char* what;
  std::string text;
  const char* stamp;  // nullptr: does not parse
};

TEST(ParseMessageDateTest, Table) {
  const ParseCase cases[] = {
      {"full date", "Tue, 3 Mar 2009 14:05:09 +0100", "20090303140509"},
      {"two-digit day, zone name", "Wed, 31 Jan 2024 10:20:30 GMT", "20240131102030"},
      {"Received value: text after the last ;",
       "from mx.example.org by mail.example.org; id 7; Wed, 31 Jan 2024 10:20:30 +0000",
       "20240131102030"},
      {"Received value folded before the date",
       "from a by b;\r\n Tue, 3 Mar 2009 14:05:09 -0500 (EST)", "20090303140509"},
      {"Received value folded before a date without weekday",
       "from a by b;\r\n\t3 Mar 2009 14:05:09 -0500", "20090303140509"},
      {"no weekday, month in lower case", "3 mar 2009 14:05:09 -0500", "20090303140509"},
      {"month in capitals", "03 MAR 2009 14:05:09 -0500", "20090303140509"},
      {"dashes", "03-Mar-2009 04:05:09 +0000", "20090303040509"},
      {"single-digit time fields", "Tue, 3 Mar 2009 4:5:9 +0100", "20090303040509"},
      {"nothing after the seconds", "Tue, 3 Mar 2009 14:05:09", nullptr},
      {"day of three digits", "Tue, 003 Mar 2009 14:05:09 +0100", nullptr},
      {"month not among the twelve", "Tue, 3 Mrz 2009 14:05:09 +0100", nullptr},
      {"too short after the day", "Tue, 3 Mar", nullptr},
      {"two-digit year", "Tue, 3 Mar 09 14:05:09 +0100", nullptr},
      {"year with a letter", "Tue, 3 Mar 20x9 14:05:09 +0100", nullptr},
      {"hour of three digits", "Tue, 3 Mar 2009 014:05:09 +0100", nullptr},
      {"huge hour", "Tue, 3 Mar 2009 99999999999999999999:05:09 +0100", nullptr},
      {"huge day", "Tue, 99999999999999999999 Mar 2009 14:05:09 +0100", nullptr},
      {"negative day", "Tue, -1 Mar 2009 14:05:09 +0100", nullptr},
      {"hour beyond the clock", "Tue, 3 Mar 2009 24:05:09 +0100", nullptr},
      {"minute beyond the clock", "Tue, 3 Mar 2009 14:60:09 +0100", nullptr},
      {"day zero", "Tue, 0 Mar 2009 14:05:09 +0100", nullptr},
      {"missing minutes", "Tue, 3 Mar 2009 14 +0100", nullptr},
      {"empty seconds", "Tue, 3 Mar 2009 14:05: +0100", nullptr},
      {"no separator after the day", "Tue,3", nullptr},
      {"empty", "", nullptr},
      {"only a ;", ";", nullptr},
      {"199 bytes", "Tue, 3 Mar 2009 14:05:09 +0100" + std::string(169, ' '), "20090303140509"},
      {"200 bytes", "Tue, 3 Mar 2009 14:05:09 +0100" + std::string(170, ' '), nullptr},
      {"zero byte ends the text", std::string("Tue, 3 Mar 2009 14:05:09\0 +0100", 31), nullptr},
  };
  ScopedTimeZone zone("UTC0");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string stamp = "untouched";
    int64_t t = ParseMessageDate(c.text, &stamp);
    if (c.stamp) {
      EXPECT_NE(t, 0);
      EXPECT_EQ(stamp, c.stamp);
    } else {
      EXPECT_EQ(t, 0);
      EXPECT_EQ(stamp, "untouched");
    }
  }
}

TEST(ParseMessageDateTest, ReadsLocalTimeAndIgnoresTheZone) {
  const struct {
    const char* tz;
    const char* text;
    int64_t seconds;
  } cases[] = {
      {"UTC0", "Tue, 3 Mar 2009 13:05:09 +0100", kMarch3},
      {"EST5", "Tue, 3 Mar 2009 08:05:09 +0000", kMarch3},
      {"IST-5:30", "Tue, 3 Mar 2009 18:35:09 -0800", kMarch3},
      // Daylight saving time is decided by the date read, not by today.
      {kCentralEurope, "Fri, 3 Jul 2009 14:00:00 +0200", kJuly3},
      {kCentralEurope, "Tue, 3 Mar 2009 14:05:09 +0100", kMarch3},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.tz);
    EXPECT_EQ(ParseMessageDate(c.text), c.seconds) << c.tz << " " << c.text;
  }
}

TEST(ParseMessageDateTest, WrittenDateReadsBack) {
  ScopedTimeZone zone(kCentralEurope);
  for (int64_t t : {kMarch3, kJuly3, int64_t{1704067199}}) {
    EXPECT_EQ(ParseMessageDate(MessageDateAt(t)), t);
  }
}

}  // namespace
}  // namespace tarnwick
