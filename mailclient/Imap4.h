// The IMAP4 side of a session: greeting, STARTTLS, login (LOGIN,
// AUTHENTICATE CRAM-MD5, AUTHENTICATE NTLM), the hierarchy delimiter query,
// listing a folder by UID with FETCH, downloading one message with UID FETCH
// BODY.PEEK[], marking it deleted with UID STORE, EXPUNGE and LOGOUT. One
// folder per session: the session's FolderName.
//
// The reply parsing is offered as functions without I/O, so that it can be
// tested and fuzzed on its own.
#pragma once

#include "mailclient/MailProtocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class Imap4Protocol final : public MailProtocol {
 public:
  bool UsesStream() const override { return true; }
  int PlainPort() const override { return 143; }

  bool ReadGreeting(CMailClient& session) override;
  bool RequestTls(CMailClient& session) override;
  bool Login(CMailClient& session) override;
  bool AfterLogin(CMailClient& session) override;
  bool List(CMailClient& session) override;
  bool Retrieve(CMailClient& session, const CMailInfo& info, std::string& content) override;
  bool Delete(CMailClient& session, const CMailInfo& info) override;
  bool Quit(CMailClient& session) override;
  // Sends the UID FETCH of the message the next Retrieve will ask for, so
  // that the server sends it while this one is being written. One fetch at
  // most is outstanding: a server may run pipelined fetches side by side
  // and send their messages before any of their tagged lines, while with
  // one outstanding every message before its tagged line is its own.
  void Prefetch(CMailClient& session, const CMailInfo& next) override;

 private:
  bool LoginPlain(CMailClient& session);
  bool LoginCramMd5(CMailClient& session);
  // Opens the folder for a retrieve or delete that comes without a listing.
  bool SelectIfNeeded(CMailClient& session);
  bool Expunge(CMailClient& session);
  // Reads a fetch reply up to its tagged line; the message lands in content.
  // With refused given, a refusal sets it and returns false without an error.
  bool ReadFetch(CMailClient& session, const std::string& tag, const std::string& seq, std::string& content,
                 bool* refused = nullptr);
  // Reads and drops the reply to a fetch sent ahead that is not wanted, so
  // that the next command's reply is read from its start.
  bool DropPrefetch(CMailClient& session);

  // The fetch sent ahead: its tag and UID (empty: none outstanding).
  std::string prefetchTag_;
  std::string prefetchUid_;
  std::string prefetchCommand_;
  // Bytes read past a fetch reply's tagged line: the start of the next reply.
  std::string carry_;
};

namespace imap4 {

// Message bytes are counted in 32 bits (sizes, progress texts).
inline constexpr std::size_t kMaxMessageBytes = 0x7fff0000u;

// The next command tag: the counter runs 1 to 998 and around again, the tag
// is "A" and the number in four digits (A0001 ... A0998).
std::string NextTag(int32_t& counter);

// Splits a reply line into words: blanks separate words outside groups; a
// group opens at '"', '(', '[', '{' or '<' and closes at its partner, with
// nested openings of the same kind counted. Words are trimmed of blanks, CR
// and LF; empty words are dropped.
std::vector<std::string> SplitWords(std::string_view line);

// The hierarchy delimiter from the reply to LIST "" "": the first character
// of the fourth word of the first line, without its quotes. None when the
// line has no LF, fewer than four words or nothing left in the fourth.
//   S: * LIST (\Noselect) "/" ""
std::optional<char> DelimiterFromList(std::string_view reply);

// Whether a SELECT reply announces an empty folder (" 0 EXISTS").
bool FolderEmpty(std::string_view selectReply);

// The folder's validity stamp from a SELECT reply ("* OK [UIDVALIDITY n]"),
// digits only; empty when the reply has none.
std::string UidValidityFrom(std::string_view selectReply);

// One message of a FETCH 1:* (UID FLAGS) reply.
struct FetchEntry {
  std::string uid;
  std::string flags;  // upper-cased, in one pair of parentheses; empty when not given
};
//   S: * 1 FETCH (UID 17 FLAGS (\Seen))
//   S: A0005 OK Fetch completed.
std::vector<FetchEntry> ParseFetchList(std::string_view reply, std::string_view tag);

// The status word of a tagged line: the word after the tag ("BAD" when
// there is none).
std::string TaggedStatus(std::string_view line);
// Reads up to a continuation line ("+ ...") or the tagged line, passing
// over untagged lines: continued tells which came, line holds it and text
// everything read.
bool ReadContinuation(CMailClient& s, std::string_view tag, bool& continued, std::string& line,
                      std::string& text);

// A string argument of a command: a quoted string with backslash and double
// quote escaped, or a literal for text with 8-bit or control bytes. CR, LF
// and NUL cannot be sent at all: error is set and false returned.
struct Argument {
  bool literal = false;
  std::string text;  // the quoted string, or the literal's bytes
};
bool EncodeString(std::string_view value, Argument& out, std::string& error);

// The length announced by a literal at the end of a line ("{123}\r\n"); none
// when the line does not end with one (or the number is out of range).
std::optional<std::size_t> LiteralAtEnd(std::string_view line);

// Collects the reply to UID FETCH (BODY.PEEK[]) piece by piece: untagged
// lines before the message, the announced literal read by its exact length,
// then the rest up to the tagged line. A line inside the message that starts
// with the tag does not end it.
//   C: A0007 UID FETCH 17 (BODY.PEEK[])
//   S: * 1 FETCH (UID 17 BODY[] {342}
//   S: <342 bytes>)
//   S: A0007 OK Fetch completed.
class FetchReader {
 public:
  enum class State { NeedMore, Done, NoMessage, Malformed };

  explicit FetchReader(std::string tag);
  // Takes the next piece of the reply.
  State Feed(std::string_view bytes);
  State state() const { return state_; }

  bool LiteralStarted() const { return literal_.has_value(); }
  std::size_t LiteralLength() const { return literal_.value_or(0); }
  std::size_t LiteralReceived() const { return message_.size(); }
  // The message (after Done).
  std::string TakeMessage() { return std::move(message_); }
  // Everything after the message: the rest of the FETCH line and the
  // tagged line.
  const std::string& Tail() const { return tail_; }
  // What came before the message (for refusal texts).
  const std::string& Head() const { return head_; }
  // The tagged status word, once the tagged line arrived.
  const std::string& Status() const { return status_; }
  // The reason of Malformed.
  const std::string& Problem() const { return problem_; }
  // What came after the tagged line (Done, NoMessage): the start of the
  // reply to a command sent ahead.
  std::string TakeSurplus() { return std::move(surplus_); }

 private:
  State FeedHead(std::string_view& bytes);
  State FeedTail(std::string_view bytes);

  std::string tag_;
  State state_ = State::NeedMore;
  std::string head_;
  std::size_t headScanned_ = 0;
  std::string rest_;  // bytes after the literal's line, while they are taken in
  std::optional<std::size_t> literal_;
  std::string message_;
  std::string tail_;
  std::size_t tailScanned_ = 0;
  std::size_t skip_ = 0;  // bytes of a further literal in the tail still to pass over
  std::string status_;
  std::string problem_;
  std::string surplus_;
};

}  // namespace imap4

}  // namespace tarnwick
