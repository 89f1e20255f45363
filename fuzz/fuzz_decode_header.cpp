// Header text decoding (encoded words, unfolding, charset conversion) over
// arbitrary bytes. The first byte picks the default code page. Whatever comes
// in, the result must be UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/Charset.h"

using namespace tarnwick;

namespace {
constexpr unsigned kCodePages[] = {0,     65001, 1252,  28591, 28595, 1200,  1201,  65000,
                                   50222, 50225, 932,   936,   949,   950,   54936, 52936,
                                   20106, 20866, 51932, 51949, 874,   28598, 12345, 1258};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  unsigned codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string decoded = DecodeHeaderText(text, codePage);
  if (!IsValidUtf8(decoded)) abort();
  if (decoded.find('\0') != std::string::npos) abort();

  std::string wide = ToWide(codePage, text);
  if (!IsValidUtf8(wide) || wide.find('\0') != std::string::npos) abort();
  (void)CodePageOf(text);
  if (ToUtf8(text).size() > text.size()) abort();
  return 0;
}
