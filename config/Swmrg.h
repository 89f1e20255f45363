// Single-writer/multiple-reader guard; waiting writers are preferred over new
// readers.
#pragma once

#include <climits>
#include <mutex>
#include <semaphore>

namespace tarnwick {

class CSWMRG {
 public:
  CSWMRG() = default;
  virtual ~CSWMRG() = default;
  CSWMRG(const CSWMRG&) = delete;
  CSWMRG& operator=(const CSWMRG&) = delete;

  virtual void WaitToRead();
  virtual void WaitToWrite();
  virtual void Done();

  // The counters as they stand, for diagnostics and tests.
  struct Counters {
    int active;          // >0 readers, -1 a writer, 0 free
    int waitingWriters;
    int waitingReaders;
  };
  Counters CurrentCounters() const;

 private:
  mutable std::mutex counters_;
  std::counting_semaphore<INT_MAX> readers_{0};
  std::counting_semaphore<INT_MAX> writers_{0};
  int active_ = 0;  // >0 readers, -1 a writer, 0 free
  int waitingWriters_ = 0;
  int waitingReaders_ = 0;
};

// Holds a guard taken with WaitToRead or WaitToWrite; calls Done on scope exit.
class CSafeLocker {
 public:
  enum Mode { kRead, kWrite };
  CSafeLocker(CSWMRG& guard, Mode mode) : guard_(guard) {
    if (mode == kRead) guard_.WaitToRead(); else guard_.WaitToWrite();
  }
  ~CSafeLocker() { guard_.Done(); }
  CSafeLocker(const CSafeLocker&) = delete;
  CSafeLocker& operator=(const CSafeLocker&) = delete;

 private:
  CSWMRG& guard_;
};

}  // namespace tarnwick
