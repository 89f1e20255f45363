// The one source of "time now" and sleeping for the scheduler, workers and
// sessions, so that tests can run the long delays (10 s stagger, 500 ms polls,
// 60 s idle) on a clock of their own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace tarnwick {

// A wake-up call that threads wait for through a Clock, with a time limit.
// Every Notify moves the generation on; a waiter passes the generation it read
// when it last looked at what it waits for (under the lock that guards that),
// so a call made after the look is never missed.
struct Wakeup {
  std::atomic<uint64_t> generation{0};
  std::mutex m;
  std::condition_variable cv;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in milliseconds since 1970-01-01 UTC.
  virtual int64_t NowMs() = 0;
  // Blocks the calling thread for ms milliseconds of this clock's time.
  virtual void SleepMs(int64_t ms) = 0;
  // Blocks until wake is notified after its generation was seen, or until ms
  // of this clock's time have passed, whichever comes first.
  virtual void WaitMs(int64_t ms, Wakeup& wake, uint64_t seen);
  // Moves wake's generation on and wakes one thread waiting for it, or all.
  virtual void Notify(Wakeup& wake, bool all = false);

  // Seconds since 1970-01-01 UTC.
  int64_t NowSeconds();
};

// The real clock.
Clock& SystemClock();

// Monotonic milliseconds (the tick count), low 32 bits.
uint32_t TickCountMs();

// Broken-down local time of a UTC second count, via localtime_r.
std::tm LocalTime(int64_t seconds);
// Offset of local time from UTC in seconds at the given moment (tm_gmtoff).
long LocalUtcOffset(int64_t seconds);
// Seconds since 1970-01-01 UTC of a broken-down local time, via mktime: out of
// range fields are carried over, tm_isdst -1 lets the zone rules decide.
// Returns false when the time cannot be represented.
bool LocalTimeToSeconds(std::tm tm, int64_t& seconds);

}  // namespace tarnwick
