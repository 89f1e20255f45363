#include "engine/Delivery.h"

#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "message/MessageDate.h"
#include "platform/Files.h"
#include "tests/support/ScopedTimeZone.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick {
namespace {

// Time stands still except when someone sleeps.
struct StepClock final : Clock {
  explicit StepClock(int64_t ms) : now(ms) {}
  int64_t NowMs() override { return now; }
  void SleepMs(int64_t ms) override { now += ms; }
  int64_t now;
};

// 2024-03-05 06:07:08.123 UTC
constexpr int64_t kNow = 1709618828123;

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue = dir / "queue";
    data = dir / "data";
    ASSERT_EQ(MakeFolders(queue), 0);
    ASSERT_EQ(MakeFolders(data + "/local.dom/user/ann"), 0);
    ASSERT_EQ(MakeFolders(data + "/local.dom/user/bob"), 0);
    // A domain that takes mail for every name: int32 at offset 84 above 0.
    std::string flag(160, '\0');
    flag[84] = 1;
    ASSERT_EQ(MakeFolders(data + "/all.dom"), 0);
    ASSERT_EQ(WriteWholeFile(data + "/all.dom/domain.dat", flag), 0);

    ctx.serverName = "pop.example.org";
    ctx.defaultRecipient = "ann@local.dom";
    ctx.queueFolder = queue;
    ctx.dataFolder = data;
    ctx.localAddress = "127.0.0.1";
    ctx.remoteAddress = "192.0.2.7";
    ctx.clock = &clock;
  }

  // The single file in the queue folder; fails the test if there is not one.
  std::string OnlyFile(std::string* name = nullptr) {
    std::vector<std::string> files = ListFiles(queue);
    EXPECT_EQ(files.size(), 1u);
    if (files.empty()) return {};
    if (name) *name = files[0];
    std::string text;
    ReadWholeFile(queue + "/" + files[0], text);
    return text;
  }

  test::ScopedTimeZone tz{"UTC0"};
  test::TempDir dir;
  std::string queue, data;
  StepClock clock{kNow};
  DeliveryContext ctx;
  CMailClient session;
};

TEST_F(DeliveryTest, QueueFileLayout) {
  using namespace std::string_literals;
  const std::string body = "\r\nbody line\r\n..kept as it is\r\n\0binary\r\n"s;
  const std::string message =
      "x-sender: forged@evil.example\r\n"
      "Received: from a by b; Wed, 31 Jan 2024 10:20:30 +0100\r\n"
      "From: \"Lee, Ann\" <lee@remote.example>\r\n"
      "X-Rcpt-To: victim@local.dom\r\n"
      "x-mime-parser: yes\r\n\tcontinued\r\n"
      "To: someone@remote.example\r\n"
      "Subject: hello\r\n" + body + "\0tail"s;

  ASSERT_TRUE(Deliver(session, ctx, message)) << session.LastError;
  std::string name;
  std::string file = OnlyFile(&name);
  // Named by the topmost Received date as written, then the UTC millisecond
  // of now and the counter.
  EXPECT_EQ(name, "02024013110203012300.eml");
  const std::string lead =
      "x-sender: lee@remote.example\r\n"
      "x-rcpt-to: ann@local.dom\r\n"
      "Received: from pop.example.org[192.0.2.7] by " +
      LocalHostNameEncoded() + "[127.0.0.1]\r\n  (TARNWICK); " + MessageDateAt(kNow / 1000) +
      "\r\n"
      "X-Originating-IP: 192.0.2.7\r\n"
      "X-Originating-Sender: lee@remote.example\r\n";
  const std::string header =
      "Received: from a by b; Wed, 31 Jan 2024 10:20:30 +0100\r\n"
      "From: \"Lee, Ann\" <lee@remote.example>\r\n"
      "To: someone@remote.example\r\n"
      "Subject: hello\r\n";
  EXPECT_EQ(file, lead + header + body + "\0tail"s);
  EXPECT_NE(session.Transcript.find("[PROC] forward message\r\nx-sender: lee@remote.example\r\n"
                                    "x-rcpt-to: ann@local.dom\r\nprocess ok\r\n"),
            std::string::npos);
}

TEST_F(DeliveryTest, Recipients) {
  struct Case {
    const char* name;
    int distribute;
    std::string headers;
    std::string rcpt;
  } cases[] = {
      {"DefaultWhateverTheMessageSays", 0, "To: bob@local.dom\r\n", "ann@local.dom"},
      {"LocalOnesFolded", 1,
       "To: Ann <ann@local.dom>, \"Bob\" <bob@local.dom>, nobody@local.dom\r\nCc: foreign@else.example\r\n",
       "ann@local.dom,\r\n\tbob@local.dom"},
      {"QuotedCommaDoesNotSplit", 1, "To: \"Smith, Bob\" <bob@local.dom>; any@all.dom\r\n",
       "bob@local.dom,\r\n\tany@all.dom"},
      {"NoLocalFallsBackToDefault", 1, "To: x@else.example\r\n", "ann@local.dom"},
      {"TraversalIsNotLocal", 1, "To: ../../etc@local.dom, ann@../local.dom\r\n", "ann@local.dom"},
      {"FoldedToHeader", 1, "To: bob@local.dom,\r\n\tann@local.dom\r\n", "bob@local.dom,\r\n\tann@local.dom"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& f : ListFiles(queue)) RemoveFile(queue + "/" + f);
    ctx.distribute = c.distribute;
    ASSERT_TRUE(Deliver(session, ctx, "From: a@b.example\r\n" + c.headers + "\r\nbody\r\n"));
    std::string file = OnlyFile();
    EXPECT_EQ(file.rfind("x-sender: a@b.example\r\nx-rcpt-to: " + c.rcpt + "\r\nReceived: ", 0), 0u) << file;
  }
}

TEST_F(DeliveryTest, EnvelopeStaysOneLineAndControlCharactersAreNotLocal) {
  ctx.distribute = 1;
  // A folded From header may carry a line break into the address.
  ASSERT_TRUE(Deliver(session, ctx,
                      "From: <a@b.example\r\n x-rcpt-to: root@local.dom>\r\n"
                      "To: \"x\rx-rcpt-to: y\"@all.dom\r\n\r\nbody\r\n"));
  std::string file = OnlyFile();
  EXPECT_EQ(file.rfind("x-sender: a@b.example x-rcpt-to: root@local.dom\r\nx-rcpt-to: ann@local.dom\r\n", 0), 0u)
      << file;
}

TEST_F(DeliveryTest, NamesWithoutADateUseTheLocalClock) {
  ASSERT_TRUE(Deliver(session, ctx, "Subject: no date\r\n\r\nbody\r\n"));
  std::string name;
  OnlyFile(&name);
  EXPECT_EQ(name, "020240305060708123000.eml");
  // A Date header counts when there is no Received header.
  EXPECT_EQ(QueueFileName("Tue, 3 Mar 2009 14:05:09 +0100", ctx), "02009030314050912300");
  EXPECT_EQ(QueueFileName("3 Mar 2009 14:05:09", ctx).size(), 21u);  // no zone: does not parse
}

TEST_F(DeliveryTest, TakenNameIsRetriedWithTheNextCounter) {
  const std::string message = "Date: Wed, 31 Jan 2024 10:20:30 +0000\r\n\r\nx\r\n";
  ASSERT_EQ(WriteWholeFile(queue + "/02024013110203012300.eml", "someone else's"), 0);
  ASSERT_TRUE(Deliver(session, ctx, message)) << session.LastError;
  ASSERT_TRUE(Deliver(session, ctx, message)) << session.LastError;
  std::vector<std::string> files = ListFiles(queue);
  std::sort(files.begin(), files.end());
  // Each retry waits 10 ms, which moves the millisecond part too.
  EXPECT_EQ(files, (std::vector<std::string>{"02024013110203012300.eml", "02024013110203013301.eml",
                                            "02024013110203014302.eml"}));
  std::string first;
  ReadWholeFile(queue + "/02024013110203012300.eml", first);
  EXPECT_EQ(first, "someone else's");
}

TEST_F(DeliveryTest, CounterWrapsAfter98) {
  ctx.queueCounter = 98;
  ASSERT_EQ(WriteWholeFile(queue + "/02024013110203012398.eml", ""), 0);
  ASSERT_TRUE(Deliver(session, ctx, "Date: Wed, 31 Jan 2024 10:20:30 +0000\r\n\r\nx\r\n"));
  EXPECT_EQ(ctx.queueCounter, 0);
  EXPECT_TRUE(FileExists(queue + "/02024013110203013300.eml"));
}

TEST_F(DeliveryTest, MissingQueueFolderFails) {
  ctx.queueFolder = dir / "no-queue";
  EXPECT_FALSE(Deliver(session, ctx, "Subject: x\r\n\r\ny\r\n"));
  EXPECT_EQ(session.LastError.rfind("NativeErrorCode: 3 CreateFile to Queue", 0), 0u) << session.LastError;
  EXPECT_NE(session.Transcript.find("[PROC] forward message\r\n"), std::string::npos);
  EXPECT_EQ(session.Transcript.find("process ok"), std::string::npos);
}

TEST_F(DeliveryTest, NoPartFileIsLeftBehind) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(session, ctx, "Subject: x\r\n\r\ny\r\n"));
  std::vector<std::string> files = ListFiles(queue);
  EXPECT_EQ(files.size(), 5u);
  for (const std::string& f : files) EXPECT_TRUE(f.ends_with(".eml")) << f;
}

// A group is named in order; a delivery that cannot be finished (its file
// cannot be flushed, or cannot be named) stops the group there: those
// before it are in the queue, it and those after it leave nothing behind.
TEST_F(DeliveryTest, GroupStopsAtTheFirstDeliveryThatCannotBeFinished) {
  for (bool flushFails : {false, true}) {
    SCOPED_TRACE(flushFails ? "flush fails" : "name fails");
    std::vector<PendingDelivery> group(4);
    for (int i = 0; i < 4; ++i)
      ASSERT_TRUE(BeginDelivery(session, ctx, "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n", group[i]))
          << session.LastError;
    EXPECT_TRUE(ListFiles(queue).empty());  // written aside, none named yet
    EXPECT_EQ(ListFiles(dir / "tarnwick-tmp").size(), 4u);
    if (flushFails) group[2].file.reset();  // nothing left to flush
    else ASSERT_EQ(RemoveFile(group[2].tempPath), 0);

    session.LastError.clear();
    EXPECT_EQ(FinishDeliveries(session, ctx, group), 2u);
    EXPECT_TRUE(group.empty());
    EXPECT_NE(session.LastError.find(" CreateFile to Queue"), std::string::npos) << session.LastError;
    std::vector<std::string> files = ListFiles(queue);
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(files[i].ends_with(".eml")) << files[i];
      std::string text;
      ReadWholeFile(queue + "/" + files[i], text);
      EXPECT_TRUE(text.ends_with("Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n")) << text;
      RemoveFile(queue + "/" + files[i]);
    }
    EXPECT_TRUE(ListFiles(dir / "tarnwick-tmp").empty());
  }
}

// Queue files are readable as the umask allows, so that the queue folder's
// group and default ACL decide who reads them. Where no private folder
// shares the queue's file system (here: its place is taken by a file), the
// files have no name until they are complete.
TEST_F(DeliveryTest, QueueFilesFollowTheUmaskAndNothingPartialIsSeen) {
  for (bool unnamed : {false, true}) {
    SCOPED_TRACE(unnamed ? "without a private folder" : "private folder");
    DeliveryContext c = ctx;
    if (unnamed) {
      ::rmdir((dir / "tarnwick-tmp").c_str());
      ASSERT_EQ(WriteWholeFile(dir / "tarnwick-tmp", "in the way"), 0);
    }
    const mode_t old = ::umask(027);
    std::vector<PendingDelivery> group(2);
    for (PendingDelivery& p : group) ASSERT_TRUE(BeginDelivery(session, c, "Subject: x\r\n\r\ny\r\n", p));
    ::umask(old);
    EXPECT_EQ(c.unnamedFiles, unnamed);
    EXPECT_TRUE(ListFiles(queue).empty());
    EXPECT_EQ(FinishDeliveries(session, c, group), 2u) << session.LastError;
    for (const std::string& f : ListFiles(queue)) {
      struct stat st {};
      ASSERT_EQ(::stat((queue + "/" + f).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u) << f;
      RemoveFile(queue + "/" + f);
    }
  }
}

// Names are chosen as messages are written: messages of one date that came
// a millisecond apart keep their milliseconds, and messages within one
// millisecond take the next counters, all without a 10 ms wait; only a name
// taken in the folder costs one.
TEST_F(DeliveryTest, GroupNamesWithoutWaitingForEachOther) {
  const std::string message = "Date: Wed, 31 Jan 2024 10:20:30 +0000\r\n\r\nx\r\n";
  ASSERT_EQ(WriteWholeFile(queue + "/02024013110203012600.eml", "someone else's"), 0);
  std::vector<PendingDelivery> group(6);
  const int64_t steps[] = {1, 1, 1, 0, 0, 0};  // clock moves after each begin
  for (std::size_t i = 0; i < group.size(); ++i) {
    ASSERT_TRUE(BeginDelivery(session, ctx, message, group[i]));
    clock.now += steps[i];
  }
  EXPECT_EQ(clock.now, kNow + 3 + 10);  // the one wait: ...12600 was taken
  EXPECT_EQ(FinishDeliveries(session, ctx, group), 6u);
  EXPECT_EQ(clock.now, kNow + 3 + 10);
  std::vector<std::string> files = ListFiles(queue);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"02024013110203012300.eml", "02024013110203012400.eml",
                                            "02024013110203012500.eml", "02024013110203012600.eml",
                                            "02024013110203013601.eml", "02024013110203013602.eml",
                                            "02024013110203013603.eml"}));
}

// Begun deliveries hold their files open only up to the process-wide limit;
// the rest are flushed at once. Either way every one is named in the end
// and every place is given back.
TEST_F(DeliveryTest, OpenQueueFilesStayBelowTheLimit) {
  const int limit = QueueFileSlot::kMaxHeldQueueFiles;
  const int before = QueueFileSlot::Taken();
  std::vector<PendingDelivery> group(static_cast<std::size_t>(limit + 20));
  for (PendingDelivery& p : group) ASSERT_TRUE(BeginDelivery(session, ctx, "Subject: x\r\n\r\ny\r\n", p));
  EXPECT_EQ(QueueFileSlot::Taken(), limit);
  const auto open = std::count_if(group.begin(), group.end(), [](const PendingDelivery& p) { return p.file.valid(); });
  EXPECT_EQ(open, limit - before);
  EXPECT_EQ(FinishDeliveries(session, ctx, group), static_cast<std::size_t>(limit + 20));
  EXPECT_EQ(QueueFileSlot::Taken(), before);
  EXPECT_EQ(ListFiles(queue).size(), static_cast<std::size_t>(limit + 20));
}

TEST_F(DeliveryTest, HeaderOnlyMessage) {
  ASSERT_TRUE(Deliver(session, ctx, "Subject: only headers\r\nX-A: b"));
  std::string file = OnlyFile();
  EXPECT_TRUE(file.ends_with("X-Originating-Sender: \r\nSubject: only headers\r\nX-A: b")) << file;
}

}  // namespace
}  // namespace tarnwick
