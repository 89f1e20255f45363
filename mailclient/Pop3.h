// The POP3 side of a session: greeting, STLS, login (USER/PASS, APOP),
// listing with LIST and UIDL, RETR, DELE and QUIT.
//
// Besides the protocol object, the reply parsing is offered as functions
// without I/O, so that it can be tested and fuzzed on its own.
#pragma once

#include "mailclient/MailProtocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick {

class Pop3Protocol final : public MailProtocol {
 public:
  bool UsesStream() const override { return true; }
  int PlainPort() const override { return 110; }

  bool ReadGreeting(CMailClient& session) override;
  bool RequestTls(CMailClient& session) override;
  bool Login(CMailClient& session) override;
  bool List(CMailClient& session) override;
  bool Retrieve(CMailClient& session, const CMailInfo& info, std::string& content) override;
  bool Delete(CMailClient& session, const CMailInfo& info) override;
  bool Quit(CMailClient& session) override;

 private:
  bool LoginPlain(CMailClient& session);
  bool LoginApop(CMailClient& session);
  bool LoginNtlm(CMailClient& session);
  // Sends command and reads the lines of its multi-line reply after the
  // status line into body.
  bool ReadListing(CMailClient& session, std::string_view command, std::string& body);

  std::string greeting_;  // first line of the greeting, for the APOP timestamp
};

namespace pop3 {

// A listing that grows past this is garbage (some ten million entries).
inline constexpr std::size_t kMaxListingBytes = 256u << 20;
// Message bytes are counted in 32 bits (sizes, progress texts).
inline constexpr std::size_t kMaxMessageBytes = 0x7fff0000u;

// Whether body (the data after a multi-line reply's status line) ends with
// the line holding only ".".
bool ListingComplete(std::string_view body);

// Walks the lines of a LIST or UIDL body up to the "." line, calling fn with
// the text after each line's first blank, trimmed of blanks. Returns false
// when a line has no blank.
bool WalkListing(std::string_view body, const std::function<void(std::string_view)>& fn);

// The decimal number at the start of text (after blanks and an optional
// sign), 0 when there are no digits; clamped to the int32 range.
int32_t LeadingNumber(std::string_view text);

// Collects a RETR reply piece by piece. The caller appends received bytes to
// data() and calls Appended(); the reader finds the status line and tells
// when the terminating "." line has arrived.
class RetrReader {
 public:
  // Reserves room for the listed size (at most 64 MB of it) plus one receive.
  explicit RetrReader(int32_t listedSize);

  // The buffer to append to; grown ahead of each receive.
  std::string& data() { return data_; }
  // Makes room for at least `more` further bytes.
  void Reserve(std::size_t more);
  // Call after bytes were appended to data().
  void Appended();

  bool Accepted() const { return !data_.empty() && data_[0] == '+'; }
  bool StatusSeen() const { return contentStart_ != std::string::npos; }
  // Bytes of the message received so far (after the status line).
  std::size_t ContentLength() const;
  // The status line has been seen and the data ends with CR LF.
  bool AtLineEnd() const;
  // The status line has been seen and the content ends with the line ".".
  bool Complete() const;
  // The message as the server meant it: the terminating ".\r\n" (or, after
  // a missed terminator, a partial one at a line start) removed, and the
  // stuffing dot of each line that begins with "." removed.
  std::string TakeMessage();

 private:
  std::string data_;
  std::size_t scanned_ = 0;
  std::size_t contentStart_ = std::string::npos;
};

// Removes the stuffing dot from every line of content that begins with ".".
std::string Unstuff(std::string_view content);
// The same from size bytes at in to out, which may be in itself or lie
// before it (never after it within the same buffer). Returns the length
// written.
std::size_t UnstuffTo(char* out, const char* in, std::size_t size);

}  // namespace pop3

}  // namespace tarnwick
