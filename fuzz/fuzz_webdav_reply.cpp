// WebDAV search reply reading on arbitrary server bytes: the first byte
// picks the folder or the item search, the rest is the reply text.
#include "exchange/WebDav.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  tarnwick::CMailClient session;
  if (data[0] & 1) {
    const bool ok = tarnwick::WebDavReadItems(session, reply);
    if (!ok && session.LastResponse != "500") __builtin_trap();
  } else {
    tarnwick::WebDavReadFolders(session, reply);
    if (session.FolderName.size() > reply.size() + 5) __builtin_trap();
  }
  return 0;
}
