#include "config/Swmrg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

// Waits until cond holds; a generous bound turns a broken guard into a
// failure instead of a hang.
bool Eventually(const std::function<bool()>& cond) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(Swmrg, ReadersHoldTheGuardTogether) {
  CSWMRG guard;
  guard.WaitToRead();
  std::atomic<bool> second{false};
  std::thread t([&] {
    CSafeLocker lock(guard, CSafeLocker::kRead);
    second = true;
  });
  // The second reader gets in while the first still holds the guard.
  EXPECT_TRUE(Eventually([&] { return second.load(); }));
  t.join();
  guard.Done();
  EXPECT_EQ(guard.CurrentCounters().active, 0);
}

TEST(Swmrg, WaitingWriterGoesBeforeNewReaders) {
  CSWMRG guard;
  std::mutex orderLock;
  std::vector<char> order;
  auto record = [&](char c) {
    std::lock_guard<std::mutex> l(orderLock);
    order.push_back(c);
  };

  guard.WaitToRead();
  std::thread writer([&] {
    CSafeLocker lock(guard, CSafeLocker::kWrite);
    record('W');
  });
  ASSERT_TRUE(Eventually([&] { return guard.CurrentCounters().waitingWriters == 1; }));
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&] {
      CSafeLocker lock(guard, CSafeLocker::kRead);
      record('R');
    });
  // New readers queue behind the waiting writer although a reader holds the guard.
  ASSERT_TRUE(Eventually([&] { return guard.CurrentCounters().waitingReaders == 3; }));
  EXPECT_EQ(guard.CurrentCounters().active, 1);
  {
    std::lock_guard<std::mutex> l(orderLock);
    EXPECT_TRUE(order.empty());
  }
  guard.Done();
  writer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(order, (std::vector<char>{'W', 'R', 'R', 'R'}));
  auto c = guard.CurrentCounters();
  EXPECT_EQ(c.active, 0);
  EXPECT_EQ(c.waitingWriters, 0);
  EXPECT_EQ(c.waitingReaders, 0);
}

TEST(Swmrg, WriterExcludesEveryoneUnderLoad) {
  CSWMRG guard;
  std::atomic<int> readersIn{0};
  std::atomic<int> writersIn{0};
  std::atomic<bool> broken{false};
  long shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 4 == 0) {
          CSafeLocker lock(guard, CSafeLocker::kWrite);
          if (writersIn.fetch_add(1) != 0 || readersIn.load() != 0) broken = true;
          ++shared;
          writersIn.fetch_sub(1);
        } else {
          CSafeLocker lock(guard, CSafeLocker::kRead);
          readersIn.fetch_add(1);
          if (writersIn.load() != 0) broken = true;
          volatile long seen = shared;
          (void)seen;
          readersIn.fetch_sub(1);
        }
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(broken);
  EXPECT_EQ(shared, 6 * 500);
}

}  // namespace
}  // namespace tarnwick
