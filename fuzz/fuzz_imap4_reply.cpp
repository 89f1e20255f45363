// IMAP4 reply parsing: the FETCH download reader fed in pieces, the listing,
// the delimiter and the word splitter. The reader's message must be exactly
// the announced literal, never longer.
#include "mailclient/Imap4.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece size, the rest is the reply.
  std::size_t piece = data[0] % 32 + 1;
  std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);

  imap4::FetchReader reader("A0007");
  auto state = imap4::FetchReader::State::NeedMore;
  for (std::size_t at = 0; at < reply.size() && state == imap4::FetchReader::State::NeedMore;
       at += piece)
    state = reader.Feed(reply.substr(at, piece));
  if (reader.LiteralReceived() > reader.LiteralLength()) abort();
  if (state == imap4::FetchReader::State::Done) {
    std::size_t length = reader.LiteralLength();
    if (reader.TakeMessage().size() != length) abort();
  }

  for (const auto& e : imap4::ParseFetchList(reply, "A0005"))
    if (!e.flags.empty() && (e.flags.front() != '(' || e.flags.back() != ')')) abort();
  imap4::DelimiterFromList(reply);
  for (char c : imap4::UidValidityFrom(reply))
    if (c < '0' || c > '9') abort();
  for (const auto& w : imap4::SplitWords(reply))
    if (w.empty()) abort();
  imap4::LiteralAtEnd(reply);
  imap4::Argument arg;
  std::string error;
  if (imap4::EncodeString(reply, arg, error) && !arg.literal &&
      arg.text.find_first_of("\r\n") != std::string::npos)
    abort();
  return 0;
}
