// Configuration text: parse, serialise, parse again; the second serialisation
// must equal the first, and path lookups on the result must not misbehave.
#include "config/ConfigBlock.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t end = 0;
  auto block = ParseConfig(text, &end);
  if (!block) return 0;
  if (end > text.size()) abort();
  std::string once = SerializeConfig(*block);
  auto again = ParseConfig(once);
  if (!again) abort();
  if (SerializeConfig(*again) != once) abort();
  if (ConfigDepth(*again) > kMaxConfigDepth) abort();

  // Look up the first child's path and a key of it, with inheritance.
  std::string path = block->name;
  if (!block->children.empty()) path += "/" + block->children.front().name;
  const ConfigBlock* found = FindBlock(*block, path);
  if (!found) abort();
  if (!found->entries.empty()) {
    auto e = FindEntry(*block, path, found->entries.front().key, true);
    if (!e) abort();
    (void)ConfigInt(e->entry->value);
  }
  return 0;
}
