// Header lookup, removal, the end of the header section, trimming and the
// address split over arbitrary bytes. The first byte gives the length of the
// header name taken from the following bytes; the rest is the message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/Headers.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t nameLen = std::min<std::size_t>(static_cast<uint8_t>(input[0]) % 32, size - 1);
  std::string_view name = input.substr(1, nameLen);
  std::string_view message = input.substr(1 + nameLen);
  std::string_view text = message.substr(0, message.find('\0'));

  std::string value;
  std::size_t end = 0;
  bool found = HeaderValue(message, name, value, &end);
  if (found && (end > text.size() || value.size() > end)) abort();
  if (!found && !value.empty()) abort();

  // Removal cuts out one piece and keeps what is around it; it finds at least
  // what the lookup finds.
  std::string removed(message);
  RemoveHeader(removed, name);
  if (removed.size() > message.size()) abort();
  if (found && removed.size() == message.size()) abort();
  std::size_t cut = message.size() - removed.size();
  std::size_t head = 0;
  while (head < removed.size() && removed[head] == message[head]) ++head;
  if (removed.compare(head, std::string::npos, message.substr(head + cut)) != 0) abort();

  if (auto pos = FindHeaderEnd(message)) {
    if (*pos == 0 || *pos >= text.size() || text[*pos - 1] != '\n') abort();
    if (text[*pos] != '\n' && text[*pos] != '\r') abort();
  }

  std::string trimmed(message);
  Trim(trimmed, kBlanks);
  if (!trimmed.empty() && (kBlanks.find(trimmed.front()) != std::string_view::npos ||
                           kBlanks.find(trimmed.back()) != std::string_view::npos)) {
    abort();
  }

  std::string displayName, address;
  SplitAddress(message, displayName, address);
  if (address.size() > message.size()) abort();
  return 0;
}
