// Base64 and quoted-printable decoding of arbitrary text, the Base64 round
// trip of arbitrary bytes, and the percent encoding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "message/Encoding.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  auto decoded = Base64Decode(text);
  if (decoded.size() > size) abort();

  std::string encoded = Base64Encode(std::span<const uint8_t>(data, size));
  if (encoded.size() != (size + 2) / 3 * 4) abort();
  if (size > 0) {
    auto back = Base64Decode(encoded);
    if (back.size() != size || !std::equal(back.begin(), back.end(), data)) abort();
  }

  auto qp = QuotedPrintableDecode(text);
  if (qp.size() > size) abort();

  std::string percent = PercentEncode(text);
  if (percent.size() < size || percent.size() > 3 * size) abort();
  return 0;
}
