// Message dates: parsing arbitrary text, and writing then reading back a
// time made from the input. Runs in UTC so that every time reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "message/MessageDate.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC0", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string stamp = "-";
  int64_t t = ParseMessageDate(text, &stamp);
  if (t == 0) {
    if (stamp != "-") abort();
  } else {
    if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos) abort();
  }

  if (size >= 8) {
    int64_t seconds = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    // Years 1000 to 9999 have four digits and must read back exactly.
    constexpr int64_t kFirst = -30610224000;  // 1 Jan 1000
    constexpr int64_t kLast = 253402300799;   // 31 Dec 9999 23:59:59
    std::string date = MessageDateAt(seconds);
    if (seconds >= kFirst && seconds <= kLast && seconds != 0) {
      if (ParseMessageDate(date) != seconds) abort();
    }
  }
  return 0;
}
