// The daily activity log: one file per local day in the log folder, named
// "YYYYMMDD.log.txt", holding one entry per pull run that "LogLevel" asks for:
//
//   \r\n[LOG:POP3:pop.example.org#anna] - 2024-01-15 23:59:59\r\n
//   ====================================================================\r\n
//   <the run's transcript>
//   ====================================================================\r\n
//
// Appends from every worker go through one lock (the scheduler's), so
// entries never interleave.
#pragma once

#include "platform/Clock.h"

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace tarnwick {

class ActivityLog {
 public:
  // lock is the scheduler's lock, taken around every append.
  ActivityLog(std::string logFolder, std::mutex& lock, Clock& clock);

  const std::string& Folder() const { return folder_; }

  // Appends text to the file of the current local date. Empty text does
  // nothing; a file that cannot be opened loses the text silently.
  void Append(std::string_view text);

  // Deletes every "*.log.txt" file of the folder except the files of the day
  // after nowSeconds' local date, that date and the six days before it. The
  // caller holds the lock when workers may be appending.
  void Cleanup(int64_t nowSeconds);

  // Whether a run's entry is written at this "LogLevel".
  static bool Wanted(int32_t logLevel, bool runFailed);
  // "%04d%02d%02d.log.txt"
  static std::string DailyFileName(int year, int month, int day);
  static std::string Entry(std::string_view label, const std::tm& endLocal, std::string_view transcript);

 private:
  std::string folder_;
  std::mutex& lock_;
  Clock& clock_;
};

}  // namespace tarnwick
