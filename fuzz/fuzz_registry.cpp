// Registry file text: whatever is understood must be written back in a form
// that reads the same, and a lookup on the result must not misbehave.
#include "platform/Registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryData reg = RegistryData::Parse(text);
  std::string once = reg.Serialize();
  if (RegistryData::Parse(once).Serialize() != once) abort();
  reg.Find(RegHive::LocalMachine, "Software\\Varnholt", "");
  reg.DeleteKey(RegHive::ClassesRoot, "AppID");
  return 0;
}
