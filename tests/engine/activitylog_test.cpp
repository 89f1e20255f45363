#include "engine/ActivityLog.h"

#include "platform/Files.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScopedTimeZone.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace tarnwick {
namespace {

TEST(ActivityLog, CleanupKeepsTomorrowTodayAndSixDaysBefore) {
  test::ScopedTimeZone zone("CET-1");
  test::TempDir dir;
  std::mutex lock;
  test::FakeClock clock{0};
  ActivityLog log(dir.path(), lock, clock);
  // Noon of 2024-03-02 local: the week before runs back over 29 February.
  const int64_t now = 1709380800 - 3600;
  const std::vector<std::string> kept = {"20240303.log.txt", "20240302.LOG.TXT", "20240301.log.txt",
                                         "20240229.log.txt", "20240228.log.txt", "20240227.log.txt",
                                         "20240226.log.txt", "20240225.log.txt", "notes.txt",
                                         "20240224.log.txt.bak"};
  const std::vector<std::string> deleted = {"20240224.log.txt", "20240304.log.txt", "other.log.txt",
                                            "x.LOG.txt", "20230302.log.txt"};
  for (const auto& n : kept) ASSERT_EQ(WriteWholeFile(dir / n, "x"), 0);
  for (const auto& n : deleted) ASSERT_EQ(WriteWholeFile(dir / n, "x"), 0);
  log.Cleanup(now);
  std::vector<std::string> left = ListFiles(dir.path());
  std::sort(left.begin(), left.end());
  std::vector<std::string> want = kept;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(left, want);
}

TEST(ActivityLog, CleanupAcrossTheYearEnd) {
  test::ScopedTimeZone zone("UTC0");
  test::TempDir dir;
  std::mutex lock;
  test::FakeClock clock{0};
  ActivityLog log(dir.path(), lock, clock);
  for (const char* n : {"20240101.log.txt", "20231231.log.txt", "20231226.log.txt", "20231225.log.txt"})
    ASSERT_EQ(WriteWholeFile(dir / n, "x"), 0);
  log.Cleanup(1703980800);  // 2023-12-31 00:00:00
  EXPECT_TRUE(FileExists(dir / "20240101.log.txt"));
  EXPECT_TRUE(FileExists(dir / "20231231.log.txt"));
  EXPECT_TRUE(FileExists(dir / "20231225.log.txt"));
  EXPECT_FALSE(FileExists(dir / "20231224.log.txt"));
}

TEST(ActivityLog, ConcurrentAppendsStayWhole) {
  test::ScopedTimeZone zone("UTC0");
  test::TempDir dir;
  std::mutex lock;
  test::FakeClock clock{1705363200000};  // 2024-01-16 00:00:00
  ActivityLog log(dir.path(), lock, clock);
  log.Append("");  // nothing, not even a file
  EXPECT_FALSE(FileExists(dir / "20240116.log.txt"));

  constexpr int kThreads = 8, kEach = 20, kSize = 70000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::string text(kSize, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) log.Append(text);
    });
  for (auto& t : threads) t.join();
  std::string all;
  ASSERT_EQ(ReadWholeFile(dir / "20240116.log.txt", all), 0);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach * kSize));
  for (std::size_t pos = 0; pos < all.size(); pos += kSize)
    ASSERT_EQ(std::string_view(all).substr(pos, kSize).find_first_not_of(all[pos]), std::string_view::npos)
        << "interleaved at " << pos;
}

TEST(ActivityLog, LevelTable) {
  EXPECT_FALSE(ActivityLog::Wanted(-1, true));
  EXPECT_FALSE(ActivityLog::Wanted(0, true));
  EXPECT_FALSE(ActivityLog::Wanted(1, false));
  EXPECT_TRUE(ActivityLog::Wanted(1, true));
  EXPECT_TRUE(ActivityLog::Wanted(2, false));
  EXPECT_TRUE(ActivityLog::Wanted(7, false));
}

}  // namespace
}  // namespace tarnwick
