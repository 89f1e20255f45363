// Token endpoint and device authorization replies come from the network:
// any bytes with any status must be read without a crash or a hang.
#include "oauth/TokenClient.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int status = data[0] < 128 ? 200 : 400 + data[0] % 100;
  std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  tarnwick::oauth::TokenReply reply;
  tarnwick::oauth::DeviceAuthorization device;
  std::string why;
  tarnwick::oauth::ParseTokenReply(status, body, reply, why);
  tarnwick::oauth::ParseDeviceAuthorization(status, body, device, why);
  return 0;
}
