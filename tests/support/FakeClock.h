// A clock for tests of threads that sleep: time is virtual and moves only
// when the test says so or when every thread that uses the clock sleeps.
//
// Threads join the clock by sleeping on it for the first time and leave it
// when they end. Once at least `participants` threads have joined and all of
// them sleep, time jumps to the earliest wake-up and the threads due then
// run; so a 10 s stagger or a 500 ms poll costs no real time, and what one
// thread sees of another's timing is exactly what the sleeps say.
#pragma once

#include "platform/Clock.h"

#include <chrono>
#include <functional>
#include <memory>

namespace tarnwick::test {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(int64_t startMs, int participants = 1);
  ~FakeClock() override;

  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  // A wait counts as a sleep until its time-out; a Notify ends it early.
  void WaitMs(int64_t ms, Wakeup& wake, uint64_t seen) override;
  void Notify(Wakeup& wake, bool all = false) override;

  // Threads that must have slept on the clock before time moves by itself.
  void SetParticipants(int n);
  // Stops and restarts the automatic moves, so that a test can change things
  // at one fixed moment.
  void Pause();
  void Resume();
  // Moves time on by ms and wakes the sleepers due by then.
  void Advance(int64_t ms);
  // Ends every sleep now and later ones at once; time stands still. Used
  // before joining threads that would otherwise sleep for ever.
  void ReleaseAll();

  struct State;

 private:
  void Sleep(int64_t ms, Wakeup* wake, uint64_t seen);

  std::shared_ptr<State> state_;
};

// Polls cond in real time until it holds or timeout passes.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tarnwick::test
