#include "engine/UidlStore.h"

#include "mailclient/MailClient.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

class UidlStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMailServer s;
    s.Server = "Pop.Example.org";
    s.User = "Ann";
    session.ServerCopy = s;
    session.FolderName = "INBOX";
  }
  void List(std::initializer_list<const char*> ids) {
    session.Messages.clear();
    for (const char* id : ids) {
      CMailInfo m;
      m.UIDL = id;
      m.Index = static_cast<int32_t>(session.Messages.size()) + 1;
      session.Messages.push_back(m);
    }
  }
  std::string File() {
    std::string text;
    ReadWholeFile(dir / "uidl.txt", text);
    return text;
  }

  test::TempDir dir;
  CMailClient session;
};

TEST_F(UidlStoreTest, SyncKeepsOtherAccountsAndListedIds) {
  ASSERT_EQ(WriteWholeFile(dir / "uidl.txt",
                           "other.example#bob#INBOX gone\r\n"
                           "pop.example.org#ann#inbox Kept-1\r\n"
                           "pop.example.org#ann#inbox deleted-on-server\r\n"
                           "POP.EXAMPLE.ORG#ANN#INBOX Upper\r\n"
                           "pop.example.org#ann#archive x\r\n"
                           "\r\n"
                           "pop.example.org#ann#inbox  \t\r\n"
                           "pop.example.org#ann#inbox no-line-end"),
            0);
  UidlStore store(dir.path());
  store.Load(session);
  EXPECT_NE(session.Transcript.find("Local UIDLS Load\r\nother.example#bob#INBOX gone\r\n"), std::string::npos);
  List({"Kept-1", "Upper", "new"});
  store.Sync(session);
  EXPECT_EQ(File(),
            "other.example#bob#INBOX gone\r\n"
            "pop.example.org#ann#inbox Kept-1\r\n"
            "POP.EXAMPLE.ORG#ANN#INBOX Upper\r\n"
            "pop.example.org#ann#archive x\r\n"
            "pop.example.org#ann#inbox\r\n");
  EXPECT_TRUE(store.Contains(session, "Kept-1"));
  EXPECT_FALSE(store.Contains(session, "kept-1"));  // ids keep their case
  // A line written with an upper-case prefix survives but does not count.
  EXPECT_FALSE(store.Contains(session, "Upper"));
  EXPECT_FALSE(store.Contains(session, "new"));
}

TEST_F(UidlStoreTest, AddAppendsAndRemoveDropsAtNextSave) {
  UidlStore store(dir.path());
  store.Load(session);
  List({"a", "b"});
  store.Sync(session);
  store.OpenAppend();
  store.Add(session, "a");
  store.Add(session, "b");
  EXPECT_EQ(File(), "pop.example.org#ann#inbox a\r\npop.example.org#ann#inbox b\r\n");
  store.Remove(session, "a");
  EXPECT_FALSE(store.Contains(session, "a"));
  EXPECT_EQ(File(), "pop.example.org#ann#inbox a\r\npop.example.org#ann#inbox b\r\n");
  ASSERT_TRUE(store.Save(session));
  EXPECT_EQ(File(), "pop.example.org#ann#inbox b\r\n");
  EXPECT_NE(session.Transcript.rfind("DOWNLOAD FINISHED, Local UIDLS UPDATE\r\npop.example.org#ann#inbox b\r\n\r\n"),
            std::string::npos);
}

TEST_F(UidlStoreTest, UnwritableFileIsReportedAsTheSessionError) {
  UidlStore store(dir / "missing-folder");
  store.Load(session);
  List({});
  store.Sync(session);
  EXPECT_FALSE(store.Save(session));
  EXPECT_EQ(session.LastError.rfind("NativeErrorCode: 3 UPDATE UIDL FILE", 0), 0u) << session.LastError;
}

TEST_F(UidlStoreTest, ManyIdsStayFast) {
  // One lookup per message: a large mailbox against a large file.
  UidlStore store(dir.path());
  store.Load(session);
  session.Messages.resize(200000);
  for (std::size_t i = 0; i < session.Messages.size(); ++i) session.Messages[i].UIDL = "id" + std::to_string(i);
  store.Sync(session);
  for (const CMailInfo& m : session.Messages) store.Add(session, m.UIDL);
  std::size_t found = 0;
  for (const CMailInfo& m : session.Messages) found += store.Contains(session, m.UIDL);
  EXPECT_EQ(found, session.Messages.size());
  ASSERT_TRUE(store.Save(session));
  UidlStore again(dir.path());
  again.Load(session);
  again.Sync(session);
  EXPECT_TRUE(again.Contains(session, "id199999"));
}

}  // namespace
}  // namespace tarnwick
