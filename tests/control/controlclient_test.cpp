#include "control/ControlClient.h"

#include "platform/Errors.h"
#include "platform/LocalSocket.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace tarnwick {
namespace {

// Accepts one connection and runs a script on it: blocking writes and reads
// of raw bytes.
class FakeEngine {
 public:
  explicit FakeEngine(const std::string& path) { EXPECT_EQ(listener_.Listen(path), 0); }
  ~FakeEngine() {
    if (thread_.joinable()) thread_.join();
  }

  void Serve(std::function<void(LocalSocket&)> script) {
    thread_ = std::thread([this, script] {
      Poller p;
      std::vector<Poller::Event> ev;
      p.Add(listener_.Handle(), 1, true, false);
      p.Wait(30000, ev);
      bool wouldBlock = false;
      ASSERT_EQ(listener_.Accept(conn_, wouldBlock), 0);
      ASSERT_FALSE(wouldBlock);
      script(conn_);
    });
  }

  static void WriteAll(LocalSocket& s, std::string_view bytes, std::size_t piece) {
    while (!bytes.empty()) {
      std::size_t written = 0;
      bool wouldBlock = false;
      ASSERT_EQ(s.Write(bytes.data(), std::min(piece, bytes.size()), written, wouldBlock), 0);
      if (wouldBlock) {
        bool ready = false;
        s.WaitWritable(30000, ready);
        continue;
      }
      bytes.remove_prefix(written);
    }
  }

  static std::string ReadExactly(LocalSocket& s, std::size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
      bool ready = false;
      s.WaitReadable(30000, ready);
      std::size_t got = 0;
      bool wouldBlock = false;
      if (s.Read(buf, std::min(sizeof buf, n - out.size()), got, wouldBlock) != 0) break;
      if (wouldBlock) continue;
      if (got == 0) break;
      out.append(buf, got);
    }
    return out;
  }

 private:
  LocalListener listener_;
  LocalSocket conn_;
  std::thread thread_;
};

TEST(ControlClient, GreetingAndExchangeWithLongReplyInPieces) {
  test::TempDir dir;
  test::ScopedSysroot root(dir.path());
  std::string path = ControlSocketPath();
  EXPECT_EQ(path, dir.path() + "/run/tarnwick/{9C420762-FF33-41ad-8474-F1958652C2EF}");
  FakeEngine engine(path);
  std::string longReply(200000, 'r');
  std::string request;
  engine.Serve([&](LocalSocket& s) {
    FakeEngine::WriteAll(s, EncodeControlMessage(kReplyMagic, kHello, "sid:-17\r\n"), 65536);
    std::string head = FakeEngine::ReadExactly(s, 12);
    int32_t rest = ReadBigEndian32(head.data() + 8);
    request = head + FakeEngine::ReadExactly(s, static_cast<std::size_t>(rest));
    FakeEngine::WriteAll(s, EncodeControlMessage(kReplyMagic, kGetConfig, longReply), 65536);
  });

  ControlClient client;
  ASSERT_EQ(client.Open(), 0);
  ControlMessage greeting;
  ASSERT_EQ(client.Receive(greeting), 0);
  EXPECT_EQ(greeting.type, kHello);
  EXPECT_EQ(greeting.Text(), "sid:-17\r\n");
  std::string reply;
  ASSERT_EQ(client.Exchange(kGetConfig, "config_name: config/mailpull", reply), 0);
  EXPECT_EQ(reply, longReply);
  EXPECT_EQ(request, EncodeControlMessage(kRequestMagic, kGetConfig, "config_name: config/mailpull"));
}

TEST(ControlClient, ReceiveFailures) {
  struct Case {
    const char* name;
    std::string bytes;  // what the engine sends before it closes or stalls
    bool close;
    int error;
  } cases[] = {
      {"closed before a byte", "", true, err::kConnReset},
      {"closed inside the rest", EncodeControlMessage(kReplyMagic, kHello, "abcdef").substr(0, 18),
       true, err::kConnReset},
      {"stalls inside the head", EncodeControlMessage(kReplyMagic, kHello, "").substr(0, 5), false,
       err::kTimedOut},
      {"type above 7", EncodeControlMessage(kReplyMagic, 9, ""), false, err::kInvalidParameter},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    FakeEngine engine(dir / "ctl");
    engine.Serve([&](LocalSocket& s) {
      FakeEngine::WriteAll(s, c.bytes, 65536);
      if (!c.close) FakeEngine::ReadExactly(s, 1);  // until the client goes
      s.Close();
    });
    ControlClient client(/*readLimitMs=*/300);
    ASSERT_EQ(client.OpenPath(dir / "ctl"), 0) << c.name;
    ControlMessage m;
    EXPECT_EQ(client.Receive(m), c.error) << c.name;
    client.Close();
  }
}

TEST(ControlClient, OpenFailsAtOnceWithoutAnEngine) {
  test::TempDir dir;
  ControlClient client;
  EXPECT_EQ(client.OpenPath(dir / "none"), err::kFileNotFound);
  EXPECT_FALSE(client.IsOpen());
  std::string reply;
  EXPECT_EQ(client.Exchange(kStatusList, "", reply), err::kNotConnected);
  {
    LocalListener l;
    ASSERT_EQ(l.Listen(dir / "gone"), 0);
  }  // closed and removed
  EXPECT_EQ(client.OpenPath(dir / "gone"), err::kFileNotFound);
}

}  // namespace
}  // namespace tarnwick
