#include "mailclient/Imap4.h"

#include "mailclient/Auth.h"
#include "mailclient/MailClient.h"
#include "mailclient/NtlmLogin.h"
#include "mailclient/OAuthLogin.h"
#include "message/Encoding.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tarnwick {

namespace imap4 {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Untagged lines before the message, and what follows it, are short; more
// than this is not a FETCH reply.
constexpr std::size_t kMaxHead = 1u << 20;
constexpr std::size_t kMaxTail = 16u << 20;
// Room reserved ahead for a message; larger ones grow as they arrive.
constexpr std::size_t kMaxReserve = 64u << 20;

std::string_view Trim(std::string_view s, std::string_view chars = kBlanks) {
  std::size_t b = s.find_first_not_of(chars);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(chars);
  return s.substr(b, e - b + 1);
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

char Partner(char open) {
  switch (open) {
    case '"': return '"';
    case '(': return ')';
    case '[': return ']';
    case '{': return '}';
    case '<': return '>';
    default: return 0;
  }
}

}  // namespace

std::string NextTag(int32_t& counter) {
  if (counter < 0 || counter >= 998) counter = 0;
  ++counter;
  char tag[8];
  std::snprintf(tag, sizeof tag, "A%04d", static_cast<int>(counter));
  return tag;
}

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  char open = 0;
  char close = 0;
  int depth = 0;
  auto flush = [&] {
    std::string_view w = Trim(word);
    if (!w.empty()) words.emplace_back(w);
    word.clear();
  };
  for (char c : line) {
    if (open) {
      if (c == close) {
        if (--depth == 0) open = 0;
      } else if (c == open) {
        ++depth;
      }
      word += c;
    } else if (c == ' ' || c == '\t') {
      flush();
    } else {
      if (char p = Partner(c)) {
        open = c;
        close = p;
        depth = 1;
      }
      word += c;
    }
  }
  flush();
  return words;
}

std::optional<char> DelimiterFromList(std::string_view reply) {
  std::size_t lf = reply.find('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  std::vector<std::string> words = SplitWords(reply.substr(0, lf + 1));
  if (words.size() <= 3) return std::nullopt;
  std::string_view d = Trim(words[3], "\" \t");
  if (d.empty()) return std::nullopt;
  return d[0];
}

bool FolderEmpty(std::string_view selectReply) {
  return Upper(selectReply).find(" 0 EXISTS\r\n") != std::string::npos;
}

std::string UidValidityFrom(std::string_view selectReply) {
  const std::string upper = Upper(selectReply);
  for (std::size_t at = upper.find("[UIDVALIDITY "); at != std::string::npos;
       at = upper.find("[UIDVALIDITY ", at + 1)) {
    // Only an untagged OK line carries it.
    const std::size_t lineStart = upper.rfind('\n', at);
    if (!std::string_view(upper).substr(lineStart == std::string::npos ? 0 : lineStart + 1).starts_with("* OK"))
      continue;
    std::size_t from = at + 13, to = from;
    while (to < upper.size() && to - from < 10 && upper[to] >= '0' && upper[to] <= '9') ++to;
    if (to > from && to < upper.size() && upper[to] == ']') return upper.substr(from, to - from);
  }
  return {};
}

std::string TaggedStatus(std::string_view line) {
  std::size_t cut = line.find_first_of(kBlanks);
  if (cut == std::string_view::npos) return "BAD";
  std::size_t from = line.find_first_not_of(" \t", cut);
  if (from == std::string_view::npos) return "BAD";
  std::size_t end = line.find_first_of(kBlanks, from);
  std::string_view word = Trim(line.substr(from, end == std::string_view::npos ? end : end - from));
  return word.empty() ? "BAD" : std::string(word);
}

std::vector<FetchEntry> ParseFetchList(std::string_view reply, std::string_view tag) {
  std::vector<FetchEntry> entries;
  std::size_t pos = 0;
  while (pos < reply.size()) {
    std::size_t lf = reply.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? reply.size() : lf + 1;
    std::string_view raw = reply.substr(pos, end - pos);
    pos = end;
    if (StartsWithNoCase(raw, tag)) break;
    std::string line = Upper(raw);
    std::size_t fetch = line.find("FETCH ");
    if (fetch == std::string::npos) continue;
    std::size_t at = fetch + 6;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '(')) ++at;
    FetchEntry e;
    if (std::size_t u = line.find("UID ", at); u != std::string::npos) {
      std::size_t from = u + 4;
      std::size_t stop = line.find_first_of(" )", from);
      e.uid = Trim(std::string_view(line).substr(from, stop == std::string::npos ? stop : stop - from));
    }
    if (std::size_t f = line.find("FLAGS ", at); f != std::string::npos) {
      std::size_t from = f + 6;
      std::size_t stop = line.find(')', from);
      std::string_view flags = std::string_view(line).substr(from, stop == std::string::npos ? stop : stop - from);
      flags = Trim(Trim(flags), "()");
      e.flags = "(" + std::string(Trim(flags)) + ")";
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

bool EncodeString(std::string_view value, Argument& out, std::string& error) {
  out = Argument();
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    error = "contains a line break (CR or LF) or a zero byte";
    return false;
  }
  bool eightBit = std::any_of(value.begin(), value.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || u < 0x20 || u == 0x7f;
  });
  if (eightBit) {
    out.literal = true;
    out.text = value;
    return true;
  }
  out.text = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out.text += '\\';
    out.text += c;
  }
  out.text += '"';
  return true;
}

std::optional<std::size_t> LiteralAtEnd(std::string_view line) {
  line = Trim(line, "\r\n");
  if (line.empty() || line.back() != '}') return std::nullopt;
  std::size_t open = line.rfind('{');
  if (open == std::string_view::npos) return std::nullopt;
  std::string_view digits = line.substr(open + 1, line.size() - open - 2);
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::size_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

FetchReader::FetchReader(std::string tag) : tag_(std::move(tag)) {}

FetchReader::State FetchReader::Feed(std::string_view bytes) {
  if (state_ != State::NeedMore) return state_;
  if (!literal_) {
    state_ = FeedHead(bytes);
    if (state_ != State::NeedMore || !literal_) return state_;
  }
  std::size_t want = *literal_ - message_.size();
  std::size_t take = std::min(want, bytes.size());
  message_.append(bytes.substr(0, take));
  bytes.remove_prefix(take);
  if (message_.size() == *literal_ && !bytes.empty()) state_ = FeedTail(bytes);
  return state_;
}

// Lines before the message: untagged lines are passed over, the line that
// ends with "{n}" starts the message, a tagged line ends a reply that holds
// no message. On return, bytes holds what follows the literal's line.
FetchReader::State FetchReader::FeedHead(std::string_view& bytes) {
  head_.append(bytes);
  bytes = {};
  for (;;) {
    std::size_t lf = head_.find('\n', headScanned_);
    if (lf == std::string::npos) break;
    std::string_view line = std::string_view(head_).substr(headScanned_, lf + 1 - headScanned_);
    headScanned_ = lf + 1;
    if (StartsWithNoCase(line, tag_)) {
      status_ = TaggedStatus(line);
      surplus_ = head_.substr(headScanned_);
      head_.resize(headScanned_);
      return State::NoMessage;
    }
    if (auto n = LiteralAtEnd(line)) {
      if (*n > kMaxMessageBytes) {
        problem_ = "message too large";
        return State::Malformed;
      }
      literal_ = *n;
      message_.reserve(std::min(*n, kMaxReserve));
      // What came after the literal's line is message (and maybe tail);
      // Feed takes it from here.
      rest_ = head_.substr(lf + 1);
      head_.resize(lf + 1);
      bytes = rest_;
      return State::NeedMore;
    }
  }
  if (head_.size() > kMaxHead) {
    problem_ = "reply too long";
    return State::Malformed;
  }
  return State::NeedMore;
}

// After the message: the rest of the FETCH line, maybe further untagged
// lines (with literals of their own, passed over), then the tagged line.
FetchReader::State FetchReader::FeedTail(std::string_view bytes) {
  tail_.append(bytes);
  for (;;) {
    if (skip_) {
      std::size_t n = std::min(skip_, tail_.size() - tailScanned_);
      tailScanned_ += n;
      skip_ -= n;
      if (skip_) break;
    }
    std::size_t lf = tail_.find('\n', tailScanned_);
    if (lf == std::string::npos) break;
    std::string_view line = std::string_view(tail_).substr(tailScanned_, lf + 1 - tailScanned_);
    // The first piece continues the FETCH line; only later lines can be tagged.
    bool lineStart = tailScanned_ > 0;
    tailScanned_ = lf + 1;
    if (lineStart && StartsWithNoCase(line, tag_)) {
      status_ = TaggedStatus(line);
      surplus_ = tail_.substr(tailScanned_);
      tail_.resize(tailScanned_);
      return State::Done;
    }
    if (auto n = LiteralAtEnd(line)) skip_ = *n;
  }
  if (tail_.size() > kMaxTail) {
    problem_ = "reply too long";
    return State::Malformed;
  }
  return State::NeedMore;
}

// Reads up to a continuation line ("+ ...") or the tagged line, passing
// over untagged lines. line receives the line found.
bool ReadContinuation(CMailClient& s, std::string_view tag, bool& continued, std::string& line,
                      std::string& text) {
  text.clear();
  for (;;) {
    std::string piece;
    if (!s.ReadUntil("\n", piece)) return false;
    text += piece;
    std::size_t pos = 0;
    while (pos < piece.size()) {
      std::size_t lf = piece.find('\n', pos);
      std::size_t end = lf == std::string::npos ? piece.size() : lf + 1;
      std::string_view l = std::string_view(piece).substr(pos, end - pos);
      pos = end;
      if (!l.empty() && l[0] == '+') {
        continued = true;
        line = l;
        return true;
      }
      if (StartsWithNoCase(l, tag)) {
        continued = false;
        line = l;
        return true;
      }
    }
    if (text.size() > (1u << 20)) return s.FailWith("Mail Server: reply too long\r\n");
  }
}

}  // namespace imap4

namespace {

bool IsOk(std::string_view status) {
  return status.size() == 2 && std::toupper(static_cast<unsigned char>(status[0])) == 'O' &&
         std::toupper(static_cast<unsigned char>(status[1])) == 'K';
}

// Reads the reply to the command sent with tag, up to its tagged line; any
// status but OK is the server's refusal.
bool ReadTaggedOk(CMailClient& s, std::string_view tag, std::string& text) {
  std::string status;
  if (!s.ReadResponse(tag, status, text)) return false;
  if (!IsOk(status)) return s.ServerError(status, text);
  return true;
}

// Sends a command whose arguments may include literals. Each literal is
// announced, the server's "+" awaited, then its bytes sent. pieces holds the
// command text around the arguments: text, argument, text, argument, ...
// logPieces, when given, replaces each argument in the protocol log.
bool SendCommand(CMailClient& s, std::string_view tag, const std::vector<std::string>& texts,
                 const std::vector<imap4::Argument>& args,
                 const std::vector<std::string>& logArgs) {
  std::string out;
  std::string log;
  bool masked = false;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    out += texts[i];
    log += texts[i];
    if (i >= args.size()) break;
    const imap4::Argument& a = args[i];
    bool hide = i < logArgs.size() && !logArgs[i].empty();
    masked = masked || hide;
    if (!a.literal) {
      out += a.text;
      log += hide ? logArgs[i] : a.text;
      continue;
    }
    // C: A0001 LOGIN {5}
    // S: + Ready for literal data
    // C: j\xf6rg {8}
    std::string announce = "{";
    announce.append(std::to_string(a.text.size())).append("}\r\n");
    out += announce;
    log += announce;
    s.Command = out;
    if (!(masked ? s.SendData(out, log) : s.SendData(out))) return false;
    // Untagged data before the go-ahead is passed over; it may arrive in
    // one piece with the "+" line, so every line of each piece is looked at.
    bool continued = false;
    std::string line, text;
    if (!imap4::ReadContinuation(s, tag, continued, line, text)) return false;
    if (!continued) return s.ServerError(imap4::TaggedStatus(line), text);
    out = a.text;
    log = hide ? logArgs[i] : a.text;
  }
  out += "\r\n";
  log += "\r\n";
  s.Command = log;
  return masked ? s.SendData(out, log) : s.SendData(out);
}

// The folder as a command argument; a name the protocol cannot carry fails.
bool FolderArgument(CMailClient& s, imap4::Argument& arg) {
  std::string error;
  if (!imap4::EncodeString(s.FolderName, arg, error))
    return s.FailWith("IMAP4 folder name " + error + "\r\n");
  return true;
}

}  // namespace

bool Imap4Protocol::ReadGreeting(CMailClient& s) {
  // S: * OK [CAPABILITY IMAP4rev1 ...] ready.
  std::string status, text;
  if (!s.ReadResponse("*", status, text)) return false;
  if (!IsOk(status)) return s.ServerError(status, text);
  return true;
}

bool Imap4Protocol::RequestTls(CMailClient& s) {
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " STARTTLS\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string text;
  return ReadTaggedOk(s, tag, text);
}

bool Imap4Protocol::Login(CMailClient& s) {
  if (s.ServerCopy->OAuth2) return LoginOAuthImap4(s);
  switch (s.ServerCopy->AuthType) {
    case AuthCRAM5: return LoginCramMd5(s);
    case AuthNTLM: return LoginNtlmImap4(s);
    default: return LoginPlain(s);
  }
}

bool Imap4Protocol::LoginPlain(CMailClient& s) {
  const CMailServer& server = *s.ServerCopy;
  // User and password go as quoted strings (literals for 8-bit text), so
  // that blanks, quotes and backslashes reach the server as they are.
  imap4::Argument user, password;
  std::string error;
  if (!imap4::EncodeString(server.User, user, error))
    return s.FailWith("Login refused: the user name " + error + "\r\n");
  if (!imap4::EncodeString(server.Password, password, error))
    return s.FailWith("Login refused: the password " + error + "\r\n");
  std::string tag = imap4::NextTag(s.TagCounter);
  // The password is kept out of the protocol log and the transcript.
  if (!SendCommand(s, tag, {tag + " LOGIN ", " ", ""}, {user, password}, {"", "******"}))
    return false;
  std::string text;
  return ReadTaggedOk(s, tag, text);
}

bool Imap4Protocol::LoginCramMd5(CMailClient& s) {
  // C: A0001 AUTHENTICATE CRAM-MD5
  // S: + PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+
  // C: dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw
  // S: A0001 OK CRAM authentication successful
  // A server that refuses the mechanism answers with the tagged line at
  // once; that ends the login instead of waiting for a "+".
  const CMailServer& server = *s.ServerCopy;
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " AUTHENTICATE CRAM-MD5\r\n";
  if (!s.SendData(s.Command)) return false;
  bool continued = false;
  std::string line, text;
  if (!imap4::ReadContinuation(s, tag, continued, line, text)) return false;
  if (!continued) return s.ServerError(imap4::TaggedStatus(line), text);
  std::string_view challenge = line;
  challenge.remove_prefix(1);
  std::vector<std::uint8_t> decoded = Base64Decode(challenge);
  if (decoded.empty()) return s.ServerError(line.substr(0, line.find_first_of(" \t\r\n")), text);
  std::string response = auth::CramMd5Response(server.User, server.Password, decoded);
  // The response lets the password be guessed offline next to its
  // challenge: the log and transcript get a mask.
  s.Command = "******\r\n";
  if (!s.SendData(response + "\r\n", s.Command)) return false;
  return ReadTaggedOk(s, tag, text);
}

bool Imap4Protocol::AfterLogin(CMailClient& s) {
  // C: A0002 LIST "" ""
  // S: * LIST (\Noselect) "/" ""
  // S: A0002 OK List completed.
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " LIST \"\" \"\"\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse(tag, status, text)) return false;
  if (!IsOk(status)) return s.ServerError(status, text);
  std::optional<char> d = imap4::DelimiterFromList(text);
  if (!d) return s.ServerError(status, text);
  s.Delimiter = *d;
  return true;
}

bool Imap4Protocol::List(CMailClient& s) {
  if (s.Listed) return true;
  s.Messages.clear();
  s.UidValidity.clear();
  imap4::Argument folder;
  if (!FolderArgument(s, folder)) return false;

  std::string tag = imap4::NextTag(s.TagCounter);
  if (!SendCommand(s, tag, {tag + " SELECT ", ""}, {folder}, {})) return false;
  std::string text;
  if (!ReadTaggedOk(s, tag, text)) return false;
  s.UidValidity = imap4::UidValidityFrom(text);
  if (imap4::FolderEmpty(text)) {
    s.Listed = true;
    return true;
  }

  tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " FETCH 1:* (UID FLAGS)\r\n";
  if (!s.SendData(s.Command)) return false;
  if (!ReadTaggedOk(s, tag, text)) return false;
  for (imap4::FetchEntry& e : imap4::ParseFetchList(text, tag)) {
    CMailInfo info;
    info.UIDL = std::move(e.uid);
    info.Flags = std::move(e.flags);
    info.Size = 4096;  // the server's size is not asked for
    info.Index = static_cast<int32_t>(s.Messages.size()) + 1;
    s.Messages.push_back(std::move(info));
  }
  s.Listed = true;
  return true;
}

bool Imap4Protocol::SelectIfNeeded(CMailClient& s) {
  // The tag is taken whether or not the folder has to be opened.
  std::string tag = imap4::NextTag(s.TagCounter);
  if (s.Listed || s.Selected) return true;
  imap4::Argument folder;
  if (!FolderArgument(s, folder)) return false;
  if (!SendCommand(s, tag, {tag + " SELECT ", ""}, {folder}, {})) return false;
  std::string text;
  if (!ReadTaggedOk(s, tag, text)) return false;
  s.Selected = true;
  return true;
}

namespace {

// A UID goes into the command as it is; anything but a plain token would
// change the command.
bool PlainUid(const std::string& uid) {
  return !uid.empty() && uid.find_first_of(std::string_view(" \t\r\n()\0", 7)) == std::string::npos;
}

std::string FetchCommand(const std::string& tag, const std::string& uid) {
  return tag + " UID FETCH " + uid + " (BODY.PEEK[])\r\n";
}

bool UsableUid(CMailClient& s, const std::string& uid) {
  if (PlainUid(uid)) return true;
  return s.FailWith("IMAP4 message without a usable UID: \"" + uid.substr(0, 64) + "\"\r\n");
}

}  // namespace

bool Imap4Protocol::Retrieve(CMailClient& s, const CMailInfo& info, std::string& content) {
  const std::string seq = std::to_string(info.Index);
  s.Report("Receiving email, Seq:" + seq + ", Size:0/" + std::to_string(info.Size) + " ...");
  if (!prefetchTag_.empty() && prefetchUid_ == info.UIDL) {
    // Asked for ahead: the reply is on its way or already here.
    std::string tag = std::move(prefetchTag_);
    s.Command = std::move(prefetchCommand_);
    prefetchTag_.clear();
    prefetchUid_.clear();
    return ReadFetch(s, tag, seq, content);
  }
  if (!DropPrefetch(s)) return false;
  if (!UsableUid(s, info.UIDL)) return false;
  if (!SelectIfNeeded(s)) return false;

  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = FetchCommand(tag, info.UIDL);
  if (!s.SendData(s.Command)) return false;
  return ReadFetch(s, tag, seq, content);
}

void Imap4Protocol::Prefetch(CMailClient& s, const CMailInfo& next) {
  // One reply ahead at most; only in a folder that is open already.
  if (!prefetchTag_.empty() || !(s.Listed || s.Selected)) return;
  if (!PlainUid(next.UIDL)) return;
  imap4::NextTag(s.TagCounter);  // the tag a Retrieve takes for its folder check
  std::string tag = imap4::NextTag(s.TagCounter);
  std::string command = FetchCommand(tag, next.UIDL);
  s.Command = command;
  if (!s.SendData(command)) return;  // the connection is gone; the next command says so
  prefetchTag_ = std::move(tag);
  prefetchUid_ = next.UIDL;
  prefetchCommand_ = std::move(command);
}

bool Imap4Protocol::DropPrefetch(CMailClient& s) {
  if (prefetchTag_.empty()) {
    carry_.clear();
    return true;
  }
  std::string tag = std::move(prefetchTag_);
  prefetchTag_.clear();
  prefetchUid_.clear();
  prefetchCommand_.clear();
  // A refusal of the message asked for ahead is no failure: it is not wanted.
  std::string dropped;
  bool refused = false;
  const bool ok = ReadFetch(s, tag, "0", dropped, &refused);
  carry_.clear();
  return ok || refused;
}

bool Imap4Protocol::ReadFetch(CMailClient& s, const std::string& tag, const std::string& seq,
                              std::string& content, bool* refused) {
  s.Quiet = true;  // the message itself stays out of the log

  std::string chunk = std::move(carry_);
  carry_.clear();
  while (chunk.empty()) {
    if (!s.ReceiveChunk(chunk)) return false;
  }
  if (chunk[0] != '*') {
    s.Quiet = false;
    if (refused) {
      *refused = true;
      return false;
    }
    return s.ServerError("NO", chunk);
  }

  imap4::FetchReader reader(tag);
  for (;;) {
    bool inMessage = reader.LiteralStarted();
    imap4::FetchReader::State state = reader.Feed(chunk);
    if (reader.LiteralStarted() && (inMessage || reader.LiteralReceived() > 0)) {
      std::string n = std::to_string(reader.LiteralReceived());
      s.Report("Receiving email, seq:" + seq + " size:" + n + "/" + n + " ...");
    }
    if (state == imap4::FetchReader::State::Done) break;
    if (state == imap4::FetchReader::State::NoMessage) {
      s.Quiet = false;
      carry_ = reader.TakeSurplus();
      if (refused) {
        *refused = true;
        return false;
      }
      std::string status = IsOk(reader.Status()) ? "NO" : reader.Status();
      return s.ServerError(status, reader.Head());
    }
    if (state == imap4::FetchReader::State::Malformed) {
      s.Quiet = false;
      return s.FailWith("Mail Server: " + reader.Problem() + "\r\n");
    }
    chunk.clear();
    if (!s.ReceiveChunk(chunk)) return false;
  }

  s.WriteLog("[Data Stream " + std::to_string(reader.LiteralLength()) + "]\r\n");
  s.WriteLog(reader.Tail());
  carry_ = reader.TakeSurplus();
  content = reader.TakeMessage();
  s.Quiet = false;
  return true;
}

bool Imap4Protocol::Delete(CMailClient& s, const CMailInfo& info) {
  if (!DropPrefetch(s)) return false;
  if (!UsableUid(s, info.UIDL)) return false;
  if (!SelectIfNeeded(s)) return false;
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " UID STORE " + info.UIDL + " +FLAGS.SILENT (\\Deleted)\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse(tag, status, text)) return false;
  if (IsOk(status)) return true;
  s.LastResponse = status;
  return s.FailWith("Mai Server: " + text);
}

bool Imap4Protocol::Expunge(CMailClient& s) {
  s.Listed = false;
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " EXPUNGE\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string text;
  return ReadTaggedOk(s, tag, text);
}

bool Imap4Protocol::Quit(CMailClient& s) {
  // Messages marked deleted go away only with the expunge; nothing was
  // opened when there is no listing and no selection.
  if (!DropPrefetch(s)) return false;
  if (!s.Messages.empty() || s.Selected) {
    if (!Expunge(s)) return false;
  }
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " LOGOUT\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string text;
  if (!ReadTaggedOk(s, tag, text)) return false;
  s.Report("Quiting ...");
  return true;
}

}  // namespace tarnwick
