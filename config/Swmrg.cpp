#include "config/Swmrg.h"

namespace tarnwick {

void CSWMRG::WaitToRead() {
  bool wait;
  {
    std::lock_guard<std::mutex> lock(counters_);
    // A writer holds the guard, or writers wait and go first.
    wait = active_ < 0 || waitingWriters_ > 0;
    if (wait) ++waitingReaders_;
    else ++active_;
  }
  if (wait) readers_.acquire();
}

void CSWMRG::WaitToWrite() {
  bool wait;
  {
    std::lock_guard<std::mutex> lock(counters_);
    wait = active_ != 0;
    if (wait) ++waitingWriters_;
    else active_ = -1;
  }
  if (wait) writers_.acquire();
}

void CSWMRG::Done() {
  int wakeReaders = 0;
  bool wakeWriter = false;
  {
    std::lock_guard<std::mutex> lock(counters_);
    if (active_ > 0) --active_;
    else ++active_;
    if (active_ == 0) {
      if (waitingWriters_ > 0) {
        active_ = -1;
        --waitingWriters_;
        wakeWriter = true;
      } else if (waitingReaders_ > 0) {
        active_ = waitingReaders_;
        wakeReaders = waitingReaders_;
        waitingReaders_ = 0;
      }
    }
  }
  // The counters already say who holds the guard; the semaphores only let
  // the chosen waiters run.
  if (wakeWriter) writers_.release();
  if (wakeReaders > 0) readers_.release(wakeReaders);
}

CSWMRG::Counters CSWMRG::CurrentCounters() const {
  std::lock_guard<std::mutex> lock(counters_);
  return Counters{active_, waitingWriters_, waitingReaders_};
}

}  // namespace tarnwick
