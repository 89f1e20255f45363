#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace tarnwick {

int64_t Clock::NowSeconds() {
  int64_t ms = NowMs();
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

void Clock::WaitMs(int64_t ms, Wakeup& wake, uint64_t seen) {
  std::unique_lock<std::mutex> lk(wake.m);
  wake.cv.wait_for(lk, std::chrono::milliseconds(ms > 0 ? ms : 0),
                   [&] { return wake.generation.load() != seen; });
}

void Clock::Notify(Wakeup& wake, bool all) {
  {
    // The generation moves under the waiters' mutex, so that a waiter between
    // its check and its sleep cannot miss the call.
    std::lock_guard<std::mutex> hold(wake.m);
    wake.generation.fetch_add(1);
  }
  if (all)
    wake.cv.notify_all();
  else
    wake.cv.notify_one();
}

namespace {

class RealClock final : public Clock {
 public:
  int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
  void SleepMs(int64_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

uint32_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::tm LocalTime(int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

long LocalUtcOffset(int64_t seconds) { return LocalTime(seconds).tm_gmtoff; }

namespace {

// The common case without mktime, which looks at the zone file again on every
// call (a stat of /etc/localtime per message date): the fields are carried
// over as UTC, and the local offset in force then is subtracted. Taken only
// when that offset is the same a day before and a day after, so that the
// local time exists exactly once; times near a change of offset go to mktime,
// which decides them by the zone rules.
bool SteadyOffsetToSeconds(std::tm tm, int64_t& seconds) {
  tm.tm_isdst = 0;
  tm.tm_wday = -1;
  const std::time_t asUtc = timegm(&tm);
  if (asUtc == static_cast<std::time_t>(-1) && tm.tm_wday == -1) return false;
  const long offset = LocalUtcOffset(asUtc);
  const int64_t t = static_cast<int64_t>(asUtc) - offset;
  if (LocalUtcOffset(t) != offset || LocalUtcOffset(t - 86400) != offset || LocalUtcOffset(t + 86400) != offset)
    return false;
  const std::tm back = LocalTime(t);
  if (back.tm_year != tm.tm_year || back.tm_mon != tm.tm_mon || back.tm_mday != tm.tm_mday ||
      back.tm_hour != tm.tm_hour || back.tm_min != tm.tm_min || back.tm_sec != tm.tm_sec)
    return false;
  seconds = t;
  return true;
}

}  // namespace

bool LocalTimeToSeconds(std::tm tm, int64_t& seconds) {
  if (tm.tm_isdst < 0 && SteadyOffsetToSeconds(tm, seconds)) return true;
  // mktime answers -1 both for failure and for one real second; a failure
  // leaves tm_wday untouched, so a sentinel there tells the two apart.
  tm.tm_wday = -1;
  std::time_t t = mktime(&tm);
  if (t == static_cast<std::time_t>(-1) && tm.tm_wday == -1) return false;
  seconds = static_cast<int64_t>(t);
  return true;
}

}  // namespace tarnwick
