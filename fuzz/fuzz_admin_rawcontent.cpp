// The administration object's configuration text: whatever the engine hands
// over, a collection loaded from it writes text that loads back to the same
// accounts and writes the very same text again, and every item's lookups
// and kept keys behave.
#include "admin/ConfigCollection.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  RefPtr<ConfigCollection> first = ConfigCollection::Create();
  first->put_RawContent(text);
  std::string once;
  first->get_RawContent(&once);

  RefPtr<ConfigCollection> second = ConfigCollection::Create();
  second->put_RawContent(once);
  std::string twice;
  second->get_RawContent(&twice);
  int32_t n1 = 0, n2 = 0;
  first->get_Count(&n1);
  second->get_Count(&n2);
  if (n1 != n2 || once != twice) abort();

  for (int32_t i = 0; i < n2; ++i) {
    IConfigItem* item = nullptr;
    second->Item(Variant::I4(i), &item);
    if (!item) abort();
    std::string name;
    item->get_Name(&name);
    IConfigItem* byName = nullptr;
    second->Item(Variant::Bstr(name), &byName);
    if (!byName) abort();
    byName->Release();
    item->Release();
  }
  return 0;
}
