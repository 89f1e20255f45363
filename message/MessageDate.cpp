#include "message/MessageDate.h"

#include "platform/AsciiText.h"

#include <cstdio>
#include <cstdlib>

namespace tarnwick {

namespace {

constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A field of 1 to maxDigits decimal digits, nothing else.
bool ReadNumber(std::string_view field, std::size_t maxDigits, int& value) {
  if (field.empty() || field.size() > maxDigits) return false;
  value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string MessageDateAt(int64_t seconds) {
  std::tm tm = LocalTime(seconds);
  // The zone's bias in minutes west of UTC, written as hours and minutes
  // east: V = -B - (B / 60) * 40 turns -330 into 530 and 300 into -500.
  long bias = -(tm.tm_gmtoff / 60);
  long v = -bias - (bias / 60) * 40;
  char sign = v > 0 ? '+' : '-';
  int wday = (tm.tm_wday >= 0 && tm.tm_wday < 7) ? tm.tm_wday : 0;
  int mon = (tm.tm_mon >= 0 && tm.tm_mon < 12) ? tm.tm_mon : 0;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %d %s %lld %02d:%02d:%02d %c%4.4ld", kDays[wday], tm.tm_mday,
                kMonths[mon], static_cast<long long>(tm.tm_year) + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign,
                std::labs(v));
  return buf;
}

std::string MessageDateNow(Clock& clock) { return MessageDateAt(clock.NowSeconds()); }

int64_t ParseMessageDate(std::string_view text, std::string* stamp) {
  // A header text: it ends at its first zero byte.
  text = text.substr(0, text.find('\0'));
  // A Received value carries the date after its last ";".
  if (std::size_t semi = text.rfind(';'); semi != std::string_view::npos) {
    text.remove_prefix(semi + 1);
  }
  if (text.size() >= 200) return 0;
  if (std::size_t comma = text.find(','); comma != std::string_view::npos) {
    text.remove_prefix(comma + 1);
  }
  // A Received value is often folded right after its ";".
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return 0;
  text.remove_prefix(first);

  // "3 Mar 2009 14:05:09 +0100" (or "3-Mar-2009 ..."): every field sits at a
  // fixed distance from the separator after the day.
  std::size_t sep = text.find_first_of(" -");
  if (sep == std::string_view::npos || sep > 2) return 0;
  int day = 0;
  if (!ReadNumber(text.substr(0, sep), 2, day)) return 0;
  if (text.size() - sep - 1 < 4) return 0;

  std::string_view monthName = text.substr(sep + 1, 3);
  int month = -1;
  for (int m = 0; m < 12; ++m) {
    if (AsciiLower(monthName[0]) == AsciiLower(kMonths[m][0]) && AsciiLower(monthName[1]) == AsciiLower(kMonths[m][1]) &&
        AsciiLower(monthName[2]) == AsciiLower(kMonths[m][2])) {
      month = m;
      break;
    }
  }
  if (month < 0) return 0;

  int year = 0;
  if (text.size() < sep + 9 || !ReadNumber(text.substr(sep + 5, 4), 4, year)) return 0;

  std::size_t timeStart = sep + 10;
  if (timeStart > text.size()) return 0;
  std::size_t colon1 = text.find(':', timeStart);
  if (colon1 == std::string_view::npos) return 0;
  std::size_t colon2 = text.find(':', colon1 + 1);
  if (colon2 == std::string_view::npos) return 0;
  std::size_t space = text.find(' ', colon2 + 1);
  if (space == std::string_view::npos) return 0;
  int hour = 0, minute = 0, second = 0;
  if (!ReadNumber(text.substr(timeStart, colon1 - timeStart), 2, hour) ||
      !ReadNumber(text.substr(colon1 + 1, colon2 - colon1 - 1), 2, minute) ||
      !ReadNumber(text.substr(colon2 + 1, space - colon2 - 1), 2, second)) {
    return 0;
  }
  // Fields that no clock shows would give a stamp that sorts wrongly.
  if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return 0;

  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  // Whether daylight saving time applies is decided for the date itself, not
  // taken from today.
  tm.tm_isdst = -1;
  int64_t seconds = 0;
  if (!LocalTimeToSeconds(tm, seconds)) return 0;

  if (stamp) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", year, month + 1, day, hour, minute,
                  second);
    stamp->assign(buf);
  }
  return seconds;
}

}  // namespace tarnwick
