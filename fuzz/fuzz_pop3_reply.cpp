// POP3 reply parsing on arbitrary server bytes: the listing walk and the
// RETR reader fed in pieces whose sizes come from the input.
#include "mailclient/Pop3.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t listed = static_cast<int32_t>(data[0]) * 64;
  const std::size_t piece = 1 + data[1] % 64;
  std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  tarnwick::pop3::ListingComplete(text);
  tarnwick::pop3::WalkListing(text, [&](std::string_view value) {
    // A value is a trimmed piece of one line.
    if (value.size() >= text.size() || value.find('\n') != std::string_view::npos) __builtin_trap();
    tarnwick::pop3::LeadingNumber(value);
  });

  tarnwick::pop3::RetrReader reader(listed);
  for (std::size_t at = 0; at < text.size() && !reader.Complete(); at += piece) {
    std::string_view part = text.substr(at, piece);
    reader.Reserve(part.size());
    reader.data().append(part);
    reader.Appended();
  }
  std::string message = reader.TakeMessage();
  // The message never grows: dots and the terminator are only taken away.
  if (message.size() > text.size()) __builtin_trap();

  // Unstuffing in place matches the plain byte-by-byte rule.
  std::string plain;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') {
      lineStart = false;
      continue;
    }
    plain += c;
    lineStart = c == '\n';
  }
  if (tarnwick::pop3::Unstuff(text) != plain) __builtin_trap();
  return 0;
}
