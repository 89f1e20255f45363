// Local time to seconds: the way without mktime must give mktime's answer.
#include "platform/Clock.h"

#include "tests/support/ScopedTimeZone.h"

#include <gtest/gtest.h>

#include <ctime>

namespace tarnwick {
namespace {

std::tm Fields(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return tm;
}

TEST(LocalTimeToSeconds, AgreesWithMktimeAroundEveryKindOfDay) {
  struct {
    std::tm tm;
    const char* what;
  } cases[] = {
      {Fields(2024, 1, 31, 10, 20, 30), "winter"},
      {Fields(2024, 7, 1, 0, 0, 0), "summer"},
      {Fields(2024, 3, 31, 2, 30, 0), "in the hour skipped in spring"},
      {Fields(2024, 3, 31, 1, 59, 59), "just before the spring change"},
      {Fields(2024, 3, 30, 2, 30, 0), "a day before the spring change"},
      {Fields(2024, 10, 27, 2, 30, 0), "in the hour repeated in autumn"},
      {Fields(2024, 10, 26, 2, 30, 0), "a day before the autumn change"},
      {Fields(2024, 2, 30, 25, 61, 60), "fields out of range, carried over"},
      {Fields(1969, 12, 31, 23, 59, 59), "before 1970"},
      {Fields(2040, 6, 1, 12, 0, 0), "after 2038"},
  };
  for (const char* tz : {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30", "UTC0"}) {
    test::ScopedTimeZone zone(tz);
    for (const auto& c : cases) {
      std::tm copy = c.tm;
      const int64_t expected = static_cast<int64_t>(mktime(&copy));
      int64_t seconds = 0;
      ASSERT_TRUE(LocalTimeToSeconds(c.tm, seconds)) << tz << ": " << c.what;
      EXPECT_EQ(seconds, expected) << tz << ": " << c.what;
    }
  }
}

}  // namespace
}  // namespace tarnwick
