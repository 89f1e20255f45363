// Control message framing: arbitrary bytes, cut into pieces whose sizes the
// input chooses, fed to the readers of both sides. Nothing may crash, every
// byte must be accounted for, and each message read must encode back to the
// bytes it came from when its lengths are consistent.
#include "control/ControlMessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

using namespace tarnwick;

namespace {

void Run(ControlReader::Side side, std::string_view bytes, std::size_t piece) {
  // A small limit keeps the fuzzer's memory in check; the rule is the same.
  ControlReader r(side, 1 << 20);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t n = std::min(piece, bytes.size() - pos);
    std::size_t used = 0;
    auto status = r.Feed(std::span<const char>(bytes.data() + pos, n), used);
    if (used > n) abort();
    if (status == ControlReader::Status::kError) {
      if (r.Error().empty() || r.Wanted() != 0) abort();
      return;
    }
    if (status == ControlReader::Status::kNeedMore && (used != n || r.Wanted() == 0)) abort();
    if (status == ControlReader::Status::kMessage) {
      ControlMessage m = r.Take();
      if (static_cast<uint32_t>(m.type) > kMaxControlType) abort();
      if (m.data.size() > 0 && static_cast<int64_t>(m.data.size()) != m.dataLength) abort();
      if (m.dataLength >= 0 && static_cast<int64_t>(m.restLength) == static_cast<int64_t>(m.dataLength) + 4 &&
          m.data.size() == static_cast<std::size_t>(m.dataLength)) {
        std::string again = EncodeControlMessage(m.magic, m.type, m.data);
        std::size_t end = pos + used;
        if (end < again.size() || bytes.substr(end - again.size(), again.size()) != again) abort();
      }
    }
    pos += used;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::size_t piece = 1 + data[0] % 32;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  Run(ControlReader::Side::kEngine, bytes, piece);
  Run(ControlReader::Side::kAdmin, bytes, piece);
  Run(ControlReader::Side::kEngine, bytes, bytes.size() + 1);
  return 0;
}
