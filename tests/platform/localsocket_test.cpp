#include "platform/LocalSocket.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>
#include <vector>

namespace tarnwick {
namespace {

TEST(LocalSocket, ListenCreatesAPrivateSocketAndReplacesAStaleOne) {
  test::TempDir dir;
  std::string path = dir / "run/tarnwick/pipe";
  {
    LocalListener l;
    ASSERT_EQ(l.Listen(path), 0);
    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    unsigned mode = st.st_mode & 0777;
    EXPECT_TRUE(mode == 0600 || mode == 0660) << std::oct << mode;
    struct stat folder{};
    ASSERT_EQ(stat((dir / "run/tarnwick").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0755u);
    // A second listener on the same path takes the socket file over.
    LocalListener again;
    ASSERT_EQ(again.Listen(path), 0);
    LocalSocket c;
    EXPECT_EQ(c.Connect(path, 1000), 0);
  }
  EXPECT_FALSE(FileExists(path));
  LocalListener tooLong;
  EXPECT_EQ(tooLong.Listen(dir.path() + "/" + std::string(200, 'x')), err::kInvalidName);
}

TEST(LocalSocket, ConnectWaitsForBacklogRoom) {
  test::TempDir dir;
  std::string path = dir / "pipe";
  LocalListener l;
  ASSERT_EQ(l.Listen(path, /*backlog=*/0), 0);
  // Fill the backlog without accepting.
  std::vector<LocalSocket> queued;
  for (int i = 0; i < 64; ++i) {
    LocalSocket s;
    int e = s.Connect(path, 0);
    if (e == err::kTimedOut) break;
    ASSERT_EQ(e, 0);
    queued.push_back(std::move(s));
  }
  ASSERT_FALSE(queued.empty());
  ASSERT_LT(queued.size(), 64u);
  LocalSocket late;
  EXPECT_EQ(late.Connect(path, 100), err::kTimedOut);

  // Room made while a client waits lets it in.
  int result = -1;
  std::thread waiter([&] { result = late.Connect(path, 30000); });
  LocalSocket accepted;
  bool wouldBlock = true;
  while (wouldBlock) ASSERT_EQ(l.Accept(accepted, wouldBlock), 0);
  waiter.join();
  EXPECT_EQ(result, 0);
}

TEST(LocalSocket, ReadWriteAndPoller) {
  test::TempDir dir;
  LocalListener l;
  ASSERT_EQ(l.Listen(dir / "pipe"), 0);
  Poller p;
  ASSERT_EQ(p.Status(), 0);
  ASSERT_EQ(p.Add(l.Handle(), 7, true, false), 0);
  std::vector<Poller::Event> ev;
  ASSERT_EQ(p.Wait(0, ev), 0);
  EXPECT_TRUE(ev.empty());

  LocalSocket c;
  ASSERT_EQ(c.Connect(dir / "pipe", 1000), 0);
  ASSERT_EQ(p.Wait(30000, ev), 0);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].tag, 7u);
  EXPECT_TRUE(ev[0].readable);
  LocalSocket s;
  bool wouldBlock = false;
  ASSERT_EQ(l.Accept(s, wouldBlock), 0);
  ASSERT_TRUE(s.IsOpen());

  char buf[16];
  std::size_t n = 0;
  ASSERT_EQ(s.Read(buf, sizeof buf, n, wouldBlock), 0);
  EXPECT_TRUE(wouldBlock);
  ASSERT_EQ(c.Write("hello", 5, n, wouldBlock), 0);
  EXPECT_EQ(n, 5u);
  bool ready = false;
  ASSERT_EQ(s.WaitReadable(30000, ready), 0);
  ASSERT_TRUE(ready);
  ASSERT_EQ(s.Read(buf, sizeof buf, n, wouldBlock), 0);
  EXPECT_EQ(std::string(buf, n), "hello");
  c.Close();
  ASSERT_EQ(s.WaitReadable(30000, ready), 0);
  ASSERT_EQ(s.Read(buf, sizeof buf, n, wouldBlock), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(wouldBlock);
  // Writing to a closed peer is an error, not a signal.
  int e = 0;
  for (int i = 0; i < 4 && e == 0; ++i) e = s.Write("x", 1, n, wouldBlock);
  EXPECT_NE(e, 0);

  std::thread waker([&] { p.Wake(); });
  ASSERT_EQ(p.Wait(30000, ev), 0);
  waker.join();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back().tag, Poller::kWakeTag);
}

}  // namespace
}  // namespace tarnwick
