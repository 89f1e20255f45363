#include "engine/ActivityLog.h"

#include "platform/AsciiText.h"
#include "platform/Files.h"

#include <cstdio>
#include <vector>

namespace tarnwick {

namespace {

constexpr std::string_view kRule = "====================================================================\r\n";
constexpr std::string_view kSuffix = ".log.txt";

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

}  // namespace

ActivityLog::ActivityLog(std::string logFolder, std::mutex& lock, Clock& clock)
    : folder_(std::move(logFolder)), lock_(lock), clock_(clock) {}

std::string ActivityLog::DailyFileName(int year, int month, int day) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d.log.txt", year, month, day);
  return buf;
}

std::string ActivityLog::Entry(std::string_view label, const std::tm& t, std::string_view transcript) {
  char time[64];
  std::snprintf(time, sizeof time, "%04d-%02d-%02d %02d:%02d:%02d\r\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  std::string e;
  e.reserve(label.size() + transcript.size() + 200);
  e += "\r\n[LOG:";
  e += label;
  e += "] - ";
  e += time;
  e += kRule;
  e += transcript;
  e += kRule;
  return e;
}

bool ActivityLog::Wanted(int32_t logLevel, bool runFailed) {
  if (logLevel <= 0) return false;
  if (logLevel == 1) return runFailed;
  return true;
}

void ActivityLog::Append(std::string_view text) {
  if (text.empty()) return;
  std::tm t = LocalTime(clock_.NowSeconds());
  std::string path = JoinPath(folder_, DailyFileName(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday));
  std::lock_guard<std::mutex> hold(lock_);
  AppendToFile(path, text);
}

void ActivityLog::Cleanup(int64_t nowSeconds) {
  std::tm t = LocalTime(nowSeconds);
  const int64_t today = DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  std::vector<std::string> keep;
  for (int64_t day = today + 1; day >= today - 6; --day) {
    int y, m, d;
    CivilFromDays(day, y, m, d);
    keep.push_back(DailyFileName(y, m, d));
  }
  for (const std::string& name : ListFiles(folder_)) {
    if (!EndsWithNoCase(name, kSuffix))
      continue;
    bool kept = false;
    for (const std::string& k : keep) kept = kept || EqualsNoCase(name, k);
    if (!kept) RemoveFile(JoinPath(folder_, name));
  }
}

}  // namespace tarnwick
