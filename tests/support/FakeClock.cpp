#include "tests/support/FakeClock.h"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

namespace tarnwick::test {

struct FakeClock::State {
  struct Sleeper {
    int64_t deadline;
    bool woken = false;
  };

  std::mutex m;
  std::condition_variable cv;
  int64_t now = 0;
  int participants = 1;
  int joined = 0;
  int sleeping = 0;
  bool paused = false;
  bool released = false;
  std::list<Sleeper*> sleepers;

  // Wakes every sleeper due by now; the woken stop counting as sleeping at
  // once, so that nobody sees a stale "all asleep".
  void WakeDue() {
    bool any = false;
    for (Sleeper* s : sleepers) {
      if (!s->woken && s->deadline <= now) {
        s->woken = true;
        --sleeping;
        any = true;
      }
    }
    if (any) cv.notify_all();
  }

  void MaybeMove() {
    if (paused || released || joined < participants || joined == 0 || sleeping != joined) return;
    int64_t next = INT64_MAX;
    for (Sleeper* s : sleepers)
      if (!s->woken && s->deadline < next) next = s->deadline;
    if (next == INT64_MAX) return;
    if (next > now) now = next;
    WakeDue();
  }

  void Leave() {
    std::lock_guard<std::mutex> hold(m);
    --joined;
    MaybeMove();
  }
};

namespace {

// Leaves the clock when the thread ends.
struct Membership {
  std::shared_ptr<FakeClock::State> state;
  ~Membership() {
    if (state) state->Leave();
  }
};
thread_local Membership membership;

}  // namespace

FakeClock::FakeClock(int64_t startMs, int participants) : state_(std::make_shared<State>()) {
  state_->now = startMs;
  state_->participants = participants;
}

FakeClock::~FakeClock() { ReleaseAll(); }

int64_t FakeClock::NowMs() {
  std::lock_guard<std::mutex> hold(state_->m);
  return state_->now;
}

void FakeClock::SleepMs(int64_t ms) {
  State& st = *state_;
  std::unique_lock<std::mutex> lk(st.m);
  if (membership.state != state_) {
    if (membership.state) {
      lk.unlock();
      membership.state->Leave();
      lk.lock();
    }
    membership.state = state_;
    ++st.joined;
  }
  if (st.released) return;
  State::Sleeper me{st.now + (ms > 0 ? ms : 0)};
  auto it = st.sleepers.insert(st.sleepers.end(), &me);
  ++st.sleeping;
  if (me.deadline <= st.now) {
    me.woken = true;
    --st.sleeping;
  }
  st.MaybeMove();
  st.cv.wait(lk, [&] { return me.woken; });
  st.sleepers.erase(it);
}

void FakeClock::SetParticipants(int n) {
  std::lock_guard<std::mutex> hold(state_->m);
  state_->participants = n;
  state_->MaybeMove();
}

void FakeClock::Pause() {
  std::lock_guard<std::mutex> hold(state_->m);
  state_->paused = true;
}

void FakeClock::Resume() {
  std::lock_guard<std::mutex> hold(state_->m);
  state_->paused = false;
  state_->MaybeMove();
}

void FakeClock::Advance(int64_t ms) {
  std::lock_guard<std::mutex> hold(state_->m);
  state_->now += ms;
  state_->WakeDue();
}

void FakeClock::ReleaseAll() {
  std::lock_guard<std::mutex> hold(state_->m);
  state_->released = true;
  for (State::Sleeper* s : state_->sleepers) {
    if (!s->woken) {
      s->woken = true;
      --state_->sleeping;
    }
  }
  state_->cv.notify_all();
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tarnwick::test
