#include "mailclient/Imap4.h"

#include "mailclient/MailClient.h"
#include "tests/support/Dovecot.h"
#include "tests/support/DovecotSuite.h"
#include "tests/support/FakeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeServer;

// ---------------------------------------------------------------------------
// Reply parsing without I/O

TEST(Imap4Parsing, TagsRunFromA0001ToA0998AndAround) {
  int32_t counter = 0;
  EXPECT_EQ(imap4::NextTag(counter), "A0001");
  counter = 997;
  EXPECT_EQ(imap4::NextTag(counter), "A0998");
  EXPECT_EQ(imap4::NextTag(counter), "A0001");
  counter = -5;  // out of range counts as fresh
  EXPECT_EQ(imap4::NextTag(counter), "A0001");
}

TEST(Imap4Parsing, WordSplitterKeepsGroupsTogether) {
  using V = std::vector<std::string>;
  EXPECT_EQ(imap4::SplitWords("* LIST (\\Noselect \\HasChildren) \"/\" \"\"\r\n"),
            (V{"*", "LIST", "(\\Noselect \\HasChildren)", "\"/\"", "\"\""}));
  EXPECT_EQ(imap4::SplitWords("a ((b c) d) [e f] {g h} <i j>\tk"),
            (V{"a", "((b c) d)", "[e f]", "{g h}", "<i j>", "k"}));
  EXPECT_EQ(imap4::SplitWords("   "), V{});
  EXPECT_EQ(imap4::SplitWords("\"unterminated group"), V{"\"unterminated group"});
}

TEST(Imap4Parsing, DelimiterFromListReply) {
  struct Case {
    const char* reply;
    char delimiter;  // 0: refused
  } cases[] = {
      {"* LIST (\\Noselect) \"/\" \"\"\r\nA0002 OK done\r\n", '/'},
      {"* LIST (\\Noselect) \".\" \"\"\r\nA0002 OK done\r\n", '.'},
      {"* LIST (\\Noselect) NIL \"\"\r\nA0002 OK\r\n", 'N'},
      {"* LIST (\\Noselect) \"\" \"\"\r\n", 0},
      {"* LIST (\\Noselect)\r\n", 0},
      {"* LIST (\\Noselect) \"/\" \"\"", 0},  // no line end
      {"", 0},
  };
  for (const auto& c : cases) {
    auto d = imap4::DelimiterFromList(c.reply);
    if (c.delimiter) {
      ASSERT_TRUE(d) << c.reply;
      EXPECT_EQ(*d, c.delimiter) << c.reply;
    } else {
      EXPECT_FALSE(d) << c.reply;
    }
  }
}

TEST(Imap4Parsing, FetchListing) {
  std::string reply =
      "* 1 FETCH (UID 17 FLAGS (\\Seen \\Answered))\r\n"
      "* 2 fetch (flags () uid 18)\r\n"
      "* 3 FETCH (UID 19)\r\n"
      "* 9 EXISTS\r\n"
      "a0005 OK Fetch completed\r\n"
      "* 4 FETCH (UID 99 FLAGS (\\Seen))\r\n";
  auto e = imap4::ParseFetchList(reply, "A0005");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].uid, "17");
  EXPECT_EQ(e[0].flags, "(\\SEEN \\ANSWERED)");
  EXPECT_EQ(e[1].uid, "18");
  EXPECT_EQ(e[1].flags, "()");
  EXPECT_EQ(e[2].uid, "19");
  EXPECT_EQ(e[2].flags, "");  // no FLAGS given
  EXPECT_TRUE(imap4::FolderEmpty("* 0 exists\r\n* OK\r\n"));
  EXPECT_FALSE(imap4::FolderEmpty("* 10 EXISTS\r\n"));
}

TEST(Imap4Parsing, StringArguments) {
  struct Case {
    const char* value;
    bool ok;
    bool literal;
    const char* text;
  } cases[] = {
      {"alice", true, false, "\"alice\""},
      {"with space", true, false, "\"with space\""},
      {"q\"uo\\te", true, false, "\"q\\\"uo\\\\te\""},
      {"", true, false, "\"\""},
      {"j\xc3\xb6rg", true, true, "j\xc3\xb6rg"},
      {"tab\there", true, true, "tab\there"},
      {"bad\r\nA0002 DELETE INBOX", false, false, ""},
      {"lf\n", false, false, ""},
  };
  for (const auto& c : cases) {
    imap4::Argument a;
    std::string error;
    EXPECT_EQ(imap4::EncodeString(c.value, a, error), c.ok) << c.value;
    if (!c.ok) {
      EXPECT_NE(error.find("line break"), std::string::npos);
      continue;
    }
    EXPECT_EQ(a.literal, c.literal) << c.value;
    EXPECT_EQ(a.text, c.text) << c.value;
  }
  imap4::Argument a;
  std::string error;
  EXPECT_FALSE(imap4::EncodeString(std::string("nul\0x", 5), a, error));
}

TEST(Imap4Parsing, LiteralAtLineEnd) {
  EXPECT_EQ(imap4::LiteralAtEnd("* 1 FETCH (BODY[] {342}\r\n"), 342u);
  EXPECT_EQ(imap4::LiteralAtEnd("{0}\r\n"), 0u);
  EXPECT_FALSE(imap4::LiteralAtEnd("* 1 FETCH (BODY[] {34x}\r\n"));
  EXPECT_FALSE(imap4::LiteralAtEnd("* 1 FETCH (BODY[] {}\r\n"));
  EXPECT_FALSE(imap4::LiteralAtEnd("{12} trailing\r\n"));
  EXPECT_FALSE(imap4::LiteralAtEnd("{99999999999}\r\n"));
}

// Feeds a reply to a FetchReader in pieces of the given size.
imap4::FetchReader::State FeedInPieces(imap4::FetchReader& r, const std::string& reply,
                                       std::size_t piece) {
  auto state = imap4::FetchReader::State::NeedMore;
  for (std::size_t at = 0; at < reply.size() && state == imap4::FetchReader::State::NeedMore;
       at += piece)
    state = r.Feed(std::string_view(reply).substr(at, piece));
  return state;
}

TEST(Imap4Parsing, FetchReaderTakesTheLiteralByLength) {
  // The message holds a line that begins with the command's tag, and one
  // that looks like a literal; neither may end or change the download.
  const std::string message =
      "Subject: tags\r\n\r\nA0007 OK this line is part of the body\r\nend {5}\r\n";
  const std::string reply = "* 3 EXISTS\r\n* 1 FETCH (UID 17 BODY[] {" +
                            std::to_string(message.size()) + "}\r\n" + message +
                            " FLAGS (\\Seen))\r\nA0007 OK Fetch completed.\r\n";
  for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(64), reply.size()}) {
    imap4::FetchReader r("A0007");
    ASSERT_EQ(FeedInPieces(r, reply, piece), imap4::FetchReader::State::Done) << piece;
    EXPECT_EQ(r.LiteralLength(), message.size());
    EXPECT_EQ(r.Tail(), " FLAGS (\\Seen))\r\nA0007 OK Fetch completed.\r\n");
    EXPECT_EQ(r.Status(), "OK");
    EXPECT_EQ(r.TakeMessage(), message) << piece;
  }
}

TEST(Imap4Parsing, FetchReaderPassesOverLiteralsInTheTail) {
  std::string reply =
      "* 1 FETCH (BODY[] {3}\r\nabc)\r\n* 2 FETCH (X {9}\r\nA0007 NO\n)\r\nA0007 OK done\r\n";
  imap4::FetchReader r("A0007");
  ASSERT_EQ(r.Feed(reply), imap4::FetchReader::State::Done);
  EXPECT_EQ(r.TakeMessage(), "abc");
  EXPECT_EQ(r.Status(), "OK");
}

TEST(Imap4Parsing, FetchReaderOutcomes) {
  {
    imap4::FetchReader r("A0003");
    EXPECT_EQ(r.Feed("* 1 FETCH (BODY[] {0}\r\n)\r\nA0003 OK\r\n"), imap4::FetchReader::State::Done);
    EXPECT_EQ(r.TakeMessage(), "");  // an empty message stays empty
  }
  {
    imap4::FetchReader r("A0003");
    EXPECT_EQ(r.Feed("* 1 FETCH (FLAGS (\\Seen))\r\nA0003 NO gone\r\n"),
              imap4::FetchReader::State::NoMessage);
    EXPECT_EQ(r.Status(), "NO");
  }
  {
    imap4::FetchReader r("A0003");
    EXPECT_EQ(r.Feed("* 1 FETCH (BODY[] {9999999999}\r\n"), imap4::FetchReader::State::Malformed);
  }
  {
    imap4::FetchReader r("A0003");
    EXPECT_EQ(r.Feed(std::string(2u << 20, 'x')), imap4::FetchReader::State::Malformed);
  }
  {
    imap4::FetchReader r("A0003");  // a large announced size is not reserved up front
    EXPECT_EQ(r.Feed("* 1 FETCH (BODY[] {2000000000}\r\nabc"), imap4::FetchReader::State::NeedMore);
    EXPECT_EQ(r.LiteralReceived(), 3u);
  }
}

// ---------------------------------------------------------------------------
// Sessions against Dovecot

CMailServer ImapSettings(int port, const std::string& user, const std::string& password) {
  CMailServer s;
  s.Server = "127.0.0.1";
  s.Port = port;
  s.User = user;
  s.Password = password;
  s.Protocol = Imap4;
  return s;
}

struct Session : CMailClient {
  Session() { Timeout = 10; }
};

class Imap4Dovecot : public test::DovecotSuite<Imap4Dovecot> {
 protected:
  // A user of its own for each test, with a password that needs quoting.
  std::string NewUser() { return DovecotSuite::NewUser("pw \"quoted\" \\ back"); }
};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(Imap4Dovecot, FullPullByteForByteThenDeleteExpungesAtQuit) {
  std::string user = NewUser();
  // The third message's body holds a line that begins with the tag its own
  // UID FETCH carries: LOGIN A0001, LIST A0002, SELECT A0003, FETCH A0004,
  // then two numbers per retrieve (the unused folder tag and the fetch).
  std::vector<std::string> messages = {
      "Subject: one\r\n\r\nfirst body\r\n",
      "Subject: two\r\nX-Bin: \x01\x7f\xff\r\n\r\n" + std::string(70000, 'z') + "\r\n",
      "Subject: three\r\n\r\nA0010 OK looks like the end\r\n.\r\n..dots\r\nlast line no crlf",
  };
  for (const auto& m : messages) ASSERT_FALSE(server_->AddMessage(user, m).empty());

  Session s;
  std::vector<std::string> progress;
  s.Progress = [&](const std::string&, const std::string& text) { progress.push_back(text); };
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << server_->Log();
  EXPECT_EQ(s.Delimiter, '.');  // the maildir layout's separator
  EXPECT_EQ(s.Transcript.find("pw \"quoted\""), std::string::npos) << "password in the log";
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  ASSERT_EQ(s.Messages.size(), 3u);
  for (const auto& m : s.Messages) {
    EXPECT_EQ(m.Size, 4096);
    EXPECT_FALSE(m.UIDL.empty());
    EXPECT_EQ(m.Flags.front(), '(');
  }
  for (std::size_t i = 0; i < 3; ++i) {
    std::string content;
    ASSERT_TRUE(s.RetrieveMail(&s.Messages[i], content)) << s.LastError;
    EXPECT_EQ(content, messages[i]) << "message " << i;
  }
  EXPECT_NE(s.Transcript.find("A0010 UID FETCH"), std::string::npos) << s.Transcript;
  EXPECT_NE(s.Transcript.find("[Data Stream 70030]\r\n"), std::string::npos);
  EXPECT_EQ(s.Transcript.find("zzzz"), std::string::npos) << "message bodies stay out of the log";
  EXPECT_NE(std::find(progress.begin(), progress.end(), "Receiving email, Seq:1, Size:0/4096 ..."),
            progress.end());
  EXPECT_NE(std::find(progress.begin(), progress.end(), "Receiving email, seq:2 size:70030/70030 ..."),
            progress.end());
  // Peeking leaves the messages unseen.
  EXPECT_EQ(server_->FlaggedDeleted(user), 0u);

  for (auto& m : s.Messages) ASSERT_EQ(s.DeleteMail(&m), 0) << s.LastError;
  EXPECT_EQ(server_->FlaggedDeleted(user), 3u);
  EXPECT_EQ(server_->MessageCount(user), 3u) << "nothing goes before the expunge";
  ASSERT_TRUE(s.Quit()) << s.LastError;
  EXPECT_EQ(server_->MessageCount(user), 0u);
  EXPECT_NE(std::find(progress.begin(), progress.end(), "Quiting ..."), progress.end());
  EXPECT_EQ(Count(s.Transcript, " SELECT "), 1);
  EXPECT_NE(s.Transcript.find(" EXPUNGE\r\n"), std::string::npos);
}

TEST_F(Imap4Dovecot, FetchesAskedAheadArriveWholeAndInOrder) {
  std::string user = NewUser();
  std::vector<std::string> messages;
  for (int i = 0; i < 12; ++i) {
    // Sizes around the receive piece, so that replies end inside pieces.
    messages.push_back("Subject: m" + std::to_string(i) + "\r\n\r\n" + std::string(7000 + 997 * i, 'a' + i) + "\r\n");
    ASSERT_FALSE(server_->AddMessage(user, messages.back()).empty());
  }
  Session s;
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  ASSERT_EQ(s.Messages.size(), messages.size());
  for (std::size_t i = 0; i < 10; ++i) {
    std::string content;
    ASSERT_TRUE(s.RetrieveMail(&s.Messages[i], content)) << i << ": " << s.LastError << s.Transcript;
    EXPECT_EQ(content, messages[i]) << "message " << i;
    // Asked for several ahead, the session keeps one outstanding: the
    // server runs pipelined fetches side by side.
    for (std::size_t j = i + 1; j < i + 5 && j < messages.size(); ++j) s.PrefetchMail(s.Messages[j]);
  }
  // The reply asked for ahead is read past before the deletion.
  ASSERT_EQ(s.DeleteMail(&s.Messages[0]), 0) << s.LastError;
  ASSERT_TRUE(s.Quit()) << s.LastError;
  EXPECT_EQ(server_->MessageCount(user), messages.size() - 1);
}

TEST_F(Imap4Dovecot, EmptyFolderSendsNoFetchAndQuitSkipsExpunge) {
  std::string user = NewUser();
  Session s;
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  EXPECT_TRUE(s.Messages.empty());
  EXPECT_EQ(s.Transcript.find("FETCH"), std::string::npos);
  ASSERT_TRUE(s.Quit()) << s.LastError;
  EXPECT_EQ(s.Transcript.find("EXPUNGE"), std::string::npos);
  EXPECT_NE(s.Transcript.find(" LOGOUT\r\n"), std::string::npos);
}

TEST_F(Imap4Dovecot, RetrieveAndDeleteWithoutListingOpenTheFolderOnce) {
  std::string user = NewUser();
  ASSERT_FALSE(server_->AddMessage(user, "Subject: a\r\n\r\nA\r\n").empty());
  ASSERT_FALSE(server_->AddMessage(user, "Subject: b\r\n\r\nB\r\n").empty());
  Session s;
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  CMailInfo second;
  second.UIDL = "2";
  second.Size = 4096;
  second.Index = 2;
  std::string content;
  ASSERT_TRUE(s.RetrieveMail(&second, content)) << s.LastError;
  EXPECT_EQ(content, "Subject: b\r\n\r\nB\r\n");
  EXPECT_TRUE(s.Selected);
  ASSERT_EQ(s.DeleteMail(&second), 0) << s.LastError;
  EXPECT_EQ(Count(s.Transcript, " SELECT "), 1);
  // LOGIN A0001, LIST A0002, SELECT A0003, FETCH A0004; the delete's
  // unused folder tag A0005 is skipped.
  EXPECT_NE(s.Transcript.find("A0006 UID STORE 2 +FLAGS.SILENT (\\Deleted)\r\n"), std::string::npos)
      << s.Transcript;
  ASSERT_TRUE(s.Quit()) << s.LastError;  // selected: expunges
  EXPECT_EQ(server_->MessageCount(user), 1u);
}

TEST_F(Imap4Dovecot, TagCounterWrapsAfterA0998AndSurvivesReconnects) {
  std::string user = NewUser();
  Session s;
  s.TagCounter = 997;
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_NE(s.Transcript.find("A0998 LOGIN "), std::string::npos);
  EXPECT_NE(s.Transcript.find("A0001 LIST \"\" \"\"\r\n"), std::string::npos);
  ASSERT_TRUE(s.Quit());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_NE(s.Transcript.find("A0003 LOGIN "), std::string::npos) << "the counter is not reset";
}

TEST_F(Imap4Dovecot, OtherFolderAndMissingFolder) {
  std::string user = NewUser();
  ASSERT_FALSE(server_->AddMessage(user, "Subject: archived\r\n\r\nx\r\n", "Archive").empty());
  Session s;
  s.FolderName = "Archive";
  CMailServer settings = ImapSettings(server_->imap_port(), user, "pw \"quoted\" \\ back");
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  EXPECT_EQ(s.Messages.size(), 1u);

  Session t;
  t.FolderName = "No \"such\" folder";
  ASSERT_EQ(t.Connect(&settings), 0) << t.LastError;
  EXPECT_NE(t.GetMailList(), 0);
  EXPECT_NE(t.Transcript.find("SELECT \"No \\\"such\\\" folder\"\r\n"), std::string::npos) << t.Transcript;
  EXPECT_EQ(t.LastResponse, "NO");
  EXPECT_EQ(t.LastError.rfind("Mail Server: ", 0), 0u);

  Session u;
  u.FolderName = "bad\r\nA0009 LOGOUT";
  ASSERT_EQ(u.Connect(&settings), 0) << u.LastError;
  EXPECT_NE(u.GetMailList(), 0);
  EXPECT_NE(u.LastError.find("line break"), std::string::npos) << u.LastError;
  EXPECT_EQ(u.Transcript.find(" SELECT "), std::string::npos);
}

// ---------------------------------------------------------------------------
// Faults from a scripted server

constexpr const char* kImapLogin =
    "S: * OK ready\n"
    "C: A0001 LOGIN \"alice\" \"secret\"\n"
    "S: A0001 OK logged in\n"
    "C: A0002 LIST \"\" \"\"\n"
    "S: * LIST (\\Noselect) \".\" \"\"\n"
    "S: A0002 OK done\n";

CMailServer FakeSettings(int port) { return ImapSettings(port, "alice", "secret"); }

TEST(Imap4Faults, DeleteRefusalUsesItsOwnText) {
  FakeServer fake(std::string(kImapLogin) +
                  "C: A0003 SELECT \"INBOX\"\n"
                  "S: * 2 EXISTS\n"
                  "S: A0003 OK selected\n"
                  "C: A0004 UID STORE 5 +FLAGS.SILENT (\\Deleted)\n"
                  "S: A0004 NO read-only\n"
                  "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_EQ(s.Delimiter, '.');
  CMailInfo info;
  info.UIDL = "5";
  EXPECT_NE(s.DeleteMail(&info), 0);
  EXPECT_EQ(s.LastResponse, "NO");
  EXPECT_EQ(s.LastError, "Mai Server: A0004 NO read-only\r\n");
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Imap4Faults, FetchRefusedOrEmpty) {
  FakeServer fake(std::string(kImapLogin) +
                  "C: A0003 SELECT \"INBOX\"\n"
                  "S: A0003 OK selected\n"
                  "C: A0004 UID FETCH 5 (BODY.PEEK[])\n"
                  "S: A0004 OK nothing\n"
                  "C: A0006 UID FETCH 6 (BODY.PEEK[])\n"
                  "S: * 1 FETCH (FLAGS (\\Seen))\n"
                  "S: A0006 NO [EXPUNGEISSUED] gone\n"
                  "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  CMailInfo info;
  info.UIDL = "5";
  std::string content;
  EXPECT_FALSE(s.RetrieveMail(&info, content));
  EXPECT_EQ(s.LastResponse, "NO");
  EXPECT_EQ(s.LastError, "Mail Server: A0004 OK nothing\r\n");
  EXPECT_FALSE(s.Quiet);
  info.UIDL = "6";
  EXPECT_FALSE(s.RetrieveMail(&info, content));
  EXPECT_EQ(s.LastResponse, "NO");
  EXPECT_NE(s.LastError.find("EXPUNGEISSUED"), std::string::npos);
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Imap4Faults, FetchAskedAheadIsTheNextRetrieveOrIsReadPast) {
  // Untagged data behind a tagged line belongs to the next reply; a refused
  // fetch asked for ahead is read past before the next command.
  FakeServer fake(std::string(kImapLogin) +
                  "C: A0003 SELECT \"INBOX\"\n"
                  "S: A0003 OK selected\n"
                  "C: A0004 UID FETCH 5 (BODY.PEEK[])\n"
                  "R: * 1 FETCH (UID 5 BODY[] {6}\\r\\nfive\\r\\n)\\r\\nA0004 OK done\\r\\n* 3 EXISTS\\r\\n\n"
                  "C: A0006 UID FETCH 6 (BODY.PEEK[])\n"
                  "R: * 2 FETCH (UID 6 BODY[] {5}\\r\\nsix\\r\\n)\\r\\nA0006 OK done\\r\\n\n"
                  "C: A0008 UID FETCH 7 (BODY.PEEK[])\n"
                  "S: A0008 NO gone\n"
                  "C: A0010 UID STORE 5 +FLAGS.SILENT (\\Deleted)\n"
                  "S: A0010 OK stored\n"
                  "C: A0011 EXPUNGE\n"
                  "S: A0011 OK expunged\n"
                  "C: A0012 LOGOUT\n"
                  "S: A0012 OK bye\n"
                  "W\n");
  Session s;
  s.Timeout = 3;
  CMailServer settings = FakeSettings(fake.port());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  CMailInfo five, six, seven;
  five.UIDL = "5";
  six.UIDL = "6";
  seven.UIDL = "7";
  std::string content;
  ASSERT_TRUE(s.RetrieveMail(&five, content)) << s.LastError;
  EXPECT_EQ(content, "five\r\n");
  s.PrefetchMail(six);
  ASSERT_TRUE(s.RetrieveMail(&six, content)) << s.LastError;
  EXPECT_EQ(content, "six\r\n");
  s.PrefetchMail(seven);
  EXPECT_EQ(s.DeleteMail(&five), 0) << s.LastError;
  EXPECT_TRUE(s.Quit()) << s.LastError;
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Imap4Faults, ExpungeRefusedMeansNoLogout) {
  FakeServer fake(std::string(kImapLogin) +
                  "C: A0003 SELECT \"INBOX\"\n"
                  "S: * 1 EXISTS\n"
                  "S: A0003 OK selected\n"
                  "C: A0004 FETCH 1:* (UID FLAGS)\n"
                  "S: * 1 FETCH (UID 5 FLAGS ())\n"
                  "S: A0004 OK\n"
                  "C: A0005 EXPUNGE\n"
                  "S: A0005 NO not now\n"
                  "W\n");
  Session s;
  CMailServer settings = FakeSettings(fake.port());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
  EXPECT_FALSE(s.Quit());
  EXPECT_EQ(s.LastError, "Mail Server: A0005 NO not now\r\n");
  EXPECT_EQ(s.Transcript.find("LOGOUT"), std::string::npos);
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Imap4Faults, LiteralGoAheadInOnePieceWithUntaggedLines) {
  // An 8-bit user name goes as a literal; the server's "+" comes in one
  // read behind an untagged line and must not be missed.
  FakeServer fake(
      "S: * OK ready\n"
      "C: A0001 LOGIN {5}\n"
      "R: * OK [ALERT] busy\\r\\n+ go ahead\\r\\n\n"
      "C: *\n"
      "S: A0001 OK logged in\n"
      "C: A0002 LIST \"\" \"\"\n"
      "S: * LIST (\\Noselect) \".\" \"\"\n"
      "S: A0002 OK done\n"
      "W\n");
  Session s;
  s.Timeout = 2;  // a missed go-ahead would wait this long and fail
  CMailServer settings = ImapSettings(fake.port(), "j\xC3\xB6rg", "secret");
  EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
  fake.Stop();
  EXPECT_EQ(fake.Failures(), "");
}

TEST(Imap4Faults, GreetingRefusedAndTaggedLineInTheSamePieceAsUntagged) {
  {
    FakeServer fake("S: * BYE go away\nX\n");
    Session s;
    CMailServer settings = FakeSettings(fake.port());
    EXPECT_NE(s.Connect(&settings), 0);
    EXPECT_EQ(s.LastResponse, "BYE");
    EXPECT_EQ(s.LastError, "Mail Server: * BYE go away\r\n");
  }
  {
    FakeServer fake(
        "S: * OK ready\n"
        "C: A0001 LOGIN \"alice\" \"secret\"\n"
        "R: * CAPABILITY IMAP4rev1\\r\\nA0001 OK in\\r\\n\n"
        "C: A0002 LIST \"\" \"\"\n"
        "S: A0002 OK done\n"
        "W\n");
    Session s;
    CMailServer settings = FakeSettings(fake.port());
    EXPECT_NE(s.Connect(&settings), 0);
    EXPECT_EQ(s.LastResponse, "OK");
    EXPECT_EQ(s.LastError, "Mail Server: A0002 OK done\r\n");
  }
}

}  // namespace
}  // namespace tarnwick
