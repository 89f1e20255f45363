// EWS reply reading on arbitrary server bytes: the first byte picks the
// operation, the rest is the reply text.
#include "exchange/Ews.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  tarnwick::CMailClient session;
  switch (data[0] % 4) {
    case 0: {
      tarnwick::EwsPage page;
      const bool ok = tarnwick::EwsReadFindItem(session, reply, page);
      for (std::size_t i = 0; i < session.Messages.size(); ++i)
        if (session.Messages[i].Index != static_cast<int32_t>(i + 1)) __builtin_trap();
      if (!ok && session.LastResponse.empty()) __builtin_trap();
      break;
    }
    case 1:
      tarnwick::EwsReadFindFolder(session, reply);
      break;
    case 2: {
      std::string content;
      if (tarnwick::EwsReadGetItem(session, reply, content) && content.size() > reply.size()) __builtin_trap();
      break;
    }
    default:
      tarnwick::EwsReadDeleteItem(session, reply);
  }
  return 0;
}
