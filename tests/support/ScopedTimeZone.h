// Sets the TZ environment variable (and calls tzset) for the lifetime of the
// object, restoring the old zone afterwards, so that tests of local-time
// texts hold on any machine. POSIX zone strings ("CET-1CEST,M3.5.0,M10.5.0/3",
// "IST-5:30") need no zone database.
#pragma once

#include <optional>
#include <string>

namespace tarnwick::test {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace tarnwick::test
