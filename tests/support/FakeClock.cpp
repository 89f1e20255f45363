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
    Wakeup* wake = nullptr;  // set while waiting for a Notify
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

void FakeClock::SleepMs(int64_t ms) { Sleep(ms, nullptr, 0); }

void FakeClock::WaitMs(int64_t ms, Wakeup& wake, uint64_t seen) { Sleep(ms, &wake, seen); }

void FakeClock::Notify(Wakeup& wake, bool all) {
  State& st = *state_;
  std::lock_guard<std::mutex> hold(st.m);
  wake.generation.fetch_add(1);
  for (State::Sleeper* s : st.sleepers) {
    if (s->woken || s->wake != &wake) continue;
    s->woken = true;
    --st.sleeping;
    if (!all) break;
  }
  st.cv.notify_all();
}

void FakeClock::Sleep(int64_t ms, Wakeup* wake, uint64_t seen) {
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
  if (wake && wake->generation.load() != seen) return;
  State::Sleeper me{st.now + (ms > 0 ? ms : 0), false, wake};
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
