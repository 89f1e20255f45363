#include "mailclient/Pop3.h"

#include "mailclient/Auth.h"
#include "mailclient/MailClient.h"
#include "mailclient/NtlmLogin.h"
#include "mailclient/OAuthLogin.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

namespace tarnwick {

namespace pop3 {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Room added when a message outgrows its listed size.
constexpr std::size_t kGrowth = 0x80000;
// Room reserved ahead for a message; a larger listed size is not trusted
// until its bytes arrive, and the buffer grows with them.
constexpr std::size_t kMaxReserve = 64u << 20;

std::string_view TrimBlanks(std::string_view s) {
  std::size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

bool ListingComplete(std::string_view body) {
  return body == ".\r\n" || body == ".\n" || EndsWith(body, "\n.\r\n") || EndsWith(body, "\n.\n");
}

bool WalkListing(std::string_view body, const std::function<void(std::string_view)>& fn) {
  std::size_t pos = 0;
  while (pos < body.size()) {
    std::size_t lf = body.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? body.size() : lf + 1;
    std::string_view line = body.substr(pos, end - pos);
    pos = end;
    if (line[0] == '.') break;
    std::size_t blank = line.find_first_of(" \t");
    if (blank == std::string_view::npos) return false;
    fn(TrimBlanks(line.substr(blank + 1)));
  }
  return true;
}

int32_t LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) {
      value = static_cast<long long>(INT32_MAX) + 1;
      break;
    }
  }
  if (negative) value = -value;
  return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

RetrReader::RetrReader(int32_t listedSize) {
  const auto listed = static_cast<std::size_t>(std::max<int32_t>(listedSize, 0));
  data_.reserve(std::min(listed, kMaxReserve) + 8193);
}

void RetrReader::Reserve(std::size_t more) {
  const std::size_t need = data_.size() + more;
  if (need <= data_.capacity()) return;
  // Grow by a fixed step, but never by less than half of what is held, so
  // that a message far above its listed size is not copied over and over.
  std::size_t room = data_.capacity() + std::max(kGrowth, data_.capacity() / 2);
  data_.reserve(std::max(room, need + 1024));
}

void RetrReader::Appended() {
  if (contentStart_ != std::string::npos) return;
  std::size_t lf = data_.find('\n', scanned_);
  if (lf == std::string::npos) {
    scanned_ = data_.size();
    return;
  }
  contentStart_ = lf + 1;
}

std::size_t RetrReader::ContentLength() const {
  return contentStart_ == std::string::npos ? 0 : data_.size() - contentStart_;
}

bool RetrReader::AtLineEnd() const { return StatusSeen() && EndsWith(data_, "\r\n"); }

bool RetrReader::Complete() const {
  if (contentStart_ == std::string::npos) return false;
  std::string_view content = std::string_view(data_).substr(contentStart_);
  // An empty message is the "." line alone.
  return content == ".\r\n" || (content.size() > 4 && EndsWith(content, "\r\n.\r\n"));
}

std::string RetrReader::TakeMessage() {
  if (contentStart_ == std::string::npos) return {};
  std::string_view content = std::string_view(data_).substr(contentStart_);
  // The CR LF before the "." line ends the message's last line and stays;
  // only the "." line goes. After a missed terminator, a terminator begun
  // at a line start is cut as far as it came.
  for (std::string_view tail : {".\r\n", ".\r", "."}) {
    if (EndsWith(content, tail)) {
      std::size_t at = content.size() - tail.size();
      if (at == 0 || content[at - 1] == '\n') {
        content.remove_suffix(tail.size());
        break;
      }
    }
  }
  // The message moves to the front of the buffer, unstuffed on the way,
  // and the buffer itself is handed out: no second copy of the message.
  const std::size_t length = UnstuffTo(data_.data(), data_.data() + contentStart_, content.size());
  data_.resize(length);
  std::string message = std::move(data_);
  data_ = std::string();
  scanned_ = 0;
  contentStart_ = std::string::npos;
  return message;
}

std::size_t UnstuffTo(char* out, const char* in, std::size_t size) {
  // Whole lines are moved at once; only the first byte of each is looked at.
  std::size_t read = 0;
  std::size_t written = 0;
  while (read < size) {
    if (in[read] == '.') ++read;  // every pass starts at a line start
    const void* lf = std::memchr(in + read, '\n', size - read);
    const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - in) + 1 : size;
    if (out + written != in + read) std::memmove(out + written, in + read, end - read);
    written += end - read;
    read = end;
  }
  return written;
}

std::string Unstuff(std::string_view content) {
  std::string out(content.size(), '\0');
  out.resize(UnstuffTo(out.data(), content.data(), content.size()));
  return out;
}

}  // namespace pop3

namespace {

constexpr std::size_t kReceiveRoom = 8195;

bool Accepted(std::string_view reply) { return !reply.empty() && reply[0] == '+'; }

}  // namespace

bool Pop3Protocol::ReadGreeting(CMailClient& s) {
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);
  greeting_ = text.substr(0, text.find('\n'));
  return true;
}

bool Pop3Protocol::RequestTls(CMailClient& s) {
  s.Command = "STLS\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text + "\r\n");
  return true;
}

bool Pop3Protocol::Login(CMailClient& s) {
  if (s.ServerCopy->OAuth2) return LoginOAuthPop3(s);
  switch (s.ServerCopy->AuthType) {
    case AuthCRAM5: return LoginApop(s);
    case AuthNTLM: return LoginNtlm(s);
    default: return LoginPlain(s);
  }
}

bool Pop3Protocol::LoginPlain(CMailClient& s) {
  const CMailServer& server = *s.ServerCopy;
  std::string status, text;
  s.Command = "USER " + server.User + "\r\n";
  if (!s.SendData(s.Command)) return false;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);

  // The password goes to the server; the log and transcript get a mask.
  s.Command = "PASS ******\r\n";
  if (!s.SendData("PASS " + server.Password + "\r\n", s.Command)) return false;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);
  return true;
}

bool Pop3Protocol::LoginApop(CMailClient& s) {
  // S: +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>
  // C: APOP mrose c4c9334bac560ecc979e58001b3e22fb
  // The digest is MD5 over the greeting's timestamp and the password; a
  // server that sent no timestamp does not offer APOP.
  const CMailServer& server = *s.ServerCopy;
  std::optional<std::string> digest = auth::ApopDigest(greeting_, server.Password);
  if (!digest) {
    std::string greeting = greeting_;
    while (!greeting.empty() && (greeting.back() == '\r' || greeting.back() == '\n')) greeting.pop_back();
    return s.FailWith("Mail Server: APOP is not offered, the greeting holds no timestamp: " + greeting + "\r\n");
  }
  // The digest lets the password be guessed offline next to the greeting:
  // the log and transcript get a mask.
  s.Command = "APOP " + server.User + " ******\r\n";
  if (!s.SendData("APOP " + server.User + " " + *digest + "\r\n", s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);
  return true;
}

bool Pop3Protocol::LoginNtlm(CMailClient& s) { return LoginNtlmPop3(s); }

bool Pop3Protocol::ReadListing(CMailClient& s, std::string_view command, std::string& body) {
  body.clear();
  s.Command = std::string(command);
  if (!s.SendData(command)) return false;
  std::string first;
  if (!s.ReadUntil("\n", first)) return false;
  if (!Accepted(first)) return s.ServerError("-ERR", first);
  body = first.substr(first.find('\n') + 1);
  while (!pop3::ListingComplete(body)) {
    const std::size_t old = body.size();
    if (!s.ReceiveChunk(body)) return false;
    if (body.size() == old) return s.RaiseError(10060);  // an empty TLS block: the peer is gone
    if (body.size() > pop3::kMaxListingBytes) return s.FailWith("Mail Server: listing too long\r\n");
  }
  return true;
}

bool Pop3Protocol::List(CMailClient& s) {
  if (s.Listed) return true;
  s.Messages.clear();

  std::string body;
  if (!ReadListing(s, "LIST\r\n", body)) return false;
  // S: +OK 2 messages (320 octets)
  // S: 1 120
  // S: 2 200
  // S: .
  // Entries are numbered by their position; the number on the line is not used.
  bool ok = pop3::WalkListing(body, [&s](std::string_view value) {
    CMailInfo info;
    info.Size = pop3::LeadingNumber(value);
    info.Index = static_cast<int32_t>(s.Messages.size()) + 1;
    s.Messages.push_back(std::move(info));
  });
  if (!ok) return s.ServerError("-ERR", body);

  if (!ReadListing(s, "UIDL\r\n", body)) return false;
  std::size_t n = 0;
  ok = pop3::WalkListing(body, [&s, &n](std::string_view value) {
    if (n < s.Messages.size()) s.Messages[n].UIDL = std::string(value);
    ++n;
  });
  if (!ok) return s.ServerError("-ERR", body);

  s.Listed = true;
  return true;
}

bool Pop3Protocol::Retrieve(CMailClient& s, const CMailInfo& info, std::string& content) {
  const std::string seq = std::to_string(info.Index);
  const std::string size = std::to_string(info.Size);
  s.Report("Receiving email, Seq:" + seq + ", Size:0/" + size + " ...");

  s.Command = "RETR " + seq + "\r\n";
  if (!s.SendData(s.Command)) return false;
  s.Quiet = true;  // the message itself stays out of the log

  pop3::RetrReader reader(info.Size);
  while (reader.data().empty()) {
    if (!s.ReceiveChunk(reader.data())) return false;
    if (reader.data().empty()) return s.RaiseError(10060);
  }
  if (!reader.Accepted()) return s.ServerError("-ERR", reader.data());

  const std::size_t listed = static_cast<std::size_t>(std::max<int32_t>(info.Size, 0));
  bool missed = false;
  for (;;) {
    reader.Appended();
    s.Report("Receiving email, Seq:" + seq + ", Size:" + std::to_string(reader.ContentLength()) + "/" +
             size + " ...");
    if (reader.Complete()) break;
    if (reader.ContentLength() >= listed && reader.AtLineEnd()) {
      // Everything listed has come but not the "." line: a server that
      // stalls here gets about ten seconds before the message is taken as it
      // is. Only at a line end, though: a server that under-reports sizes
      // and stalls mid-line is still sending, and a cut there would hand on
      // a truncated message.
      bool ready = false;
      if (!s.WaitForData(s.StallWaitMs, ready)) return false;
      if (!ready) {
        missed = true;
        break;
      }
    }
    if (reader.data().size() > pop3::kMaxMessageBytes) return s.FailWith("Mail Server: message too large\r\n");
    reader.Reserve(kReceiveRoom);
    const std::size_t old = reader.data().size();
    if (!s.ReceiveChunk(reader.data())) return false;
    if (reader.data().size() == old) return s.RaiseError(10060);
  }

  const std::size_t received = reader.ContentLength();
  content = reader.TakeMessage();
  if (missed) {
    s.WriteLog("[Data Stream " + std::to_string(received) + "(CRLF.CRLF missed)]\r\n.\r\n");
  } else {
    s.WriteLog("[Data Stream " + std::to_string(content.size()) + "]\r\n.\r\n");
  }
  s.Quiet = false;
  return true;
}

bool Pop3Protocol::Delete(CMailClient& s, const CMailInfo& info) {
  s.Command = "DELE " + std::to_string(info.Index) + "\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);
  return true;
}

bool Pop3Protocol::Quit(CMailClient& s) {
  s.Command = "QUIT\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(text)) return s.ServerError(status, text);
  s.Report("Quiting ...");
  return true;
}

}  // namespace tarnwick
