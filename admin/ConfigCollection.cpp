#include "admin/ConfigCollection.h"

#include "admin/DispatchHelpers.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tarnwick {

namespace {

constexpr std::array<DispatchMember, 8> kMembers{{
    {"Count", 1}, {"Item", 2}, {"Add", 3}, {"RemoveAt", 4},
    {"RawContent", 5}, {"LogLevel", 6}, {"MaxThreads", 7}, {"Remove", 8},
}};

std::string NameOf(IConfigItem& item) {
  std::string n;
  item.get_Name(&n);
  return n;
}

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(AsciiLower(x)) < static_cast<unsigned char>(AsciiLower(y));
  });
}

// A position from an Item index of a numeric type; nullopt for other types.
std::optional<int64_t> Position(const Variant& index) {
  switch (index.type()) {
    case VT_I2: case VT_I4: case VT_INT:
      return index.AsInt64();
    case VT_I8:  // cut to the low 32 bits
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(index.AsInt64())));
    case VT_UI2: case VT_UI4: case VT_UINT:
      return static_cast<int64_t>(index.AsUInt64());
    case VT_UI8:
      return static_cast<int64_t>(static_cast<uint32_t>(index.AsUInt64()));
    case VT_R4: case VT_R8: {
      double t = std::trunc(index.AsDouble());
      if (!(t > -1e12 && t < 1e12)) return -1;  // far outside any collection
      return static_cast<int64_t>(t);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

RefPtr<ConfigCollection> ConfigCollection::Create() { return RefPtr<ConfigCollection>(new ConfigCollection()); }

HRESULT ConfigCollection::QueryInterface(const Guid& iid, void** out) {
  return QueryOwnInterface(iid, IID_IConfigCollection, out);
}

HRESULT ConfigCollection::GetIDsOfNames(std::string_view name, int32_t& dispid) {
  return FindDispid(kMembers, name, dispid);
}

HRESULT ConfigCollection::Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) {
  using namespace dispatch;
  switch (dispid) {
    case 1:
      if (!IsGet(kind)) break;
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      Set(result, Variant::I4(static_cast<int32_t>(items_.size())));
      return S_OK;
    case 2: {
      if (!IsCall(kind)) break;
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      IConfigItem* found = nullptr;
      Item(args[0], &found);
      RefPtr<IConfigItem> hold = RefPtr<IConfigItem>::Adopt(found);
      Set(result, Variant::Dispatch(found));
      return S_OK;
    }
    case 3: {
      if (!IsCall(kind)) break;
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      RefPtr<IConfigItem> item;
      if (HRESULT hr = ConfigItemArgument(args[0], item); !Succeeded(hr)) return hr;
      int32_t added = 0;
      Add(item.get(), &added);
      Set(result, Variant::I4(added));
      return S_OK;
    }
    case 4: {
      if (!IsCall(kind)) break;
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      int32_t index = 0;
      if (HRESULT hr = args[0].ToLong(index); !Succeeded(hr)) return hr;
      return RemoveAt(index);
    }
    case 5:
      if (IsPut(kind)) {
        if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
        std::string text;
        if (HRESULT hr = Text(args[0], text); !Succeeded(hr)) return hr;
        return put_RawContent(text);
      }
      if (!IsGet(kind)) break;
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      {
        std::string text;
        get_RawContent(&text);
        Set(result, Variant::Bstr(std::move(text)));
      }
      return S_OK;
    case 6:
    case 7: {
      auto get = dispid == 6 ? &ConfigCollection::get_LogLevel : &ConfigCollection::get_MaxThreads;
      auto put = dispid == 6 ? &ConfigCollection::put_LogLevel : &ConfigCollection::put_MaxThreads;
      if (IsPut(kind)) {
        if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
        int32_t v = 0;
        if (HRESULT hr = args[0].ToLong(v); !Succeeded(hr)) return hr;
        return (this->*put)(v);
      }
      if (!IsGet(kind)) break;
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      int32_t v = 0;
      (this->*get)(&v);
      Set(result, Variant::I4(v));
      return S_OK;
    }
    case 8: {
      if (!IsCall(kind)) break;
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      std::string name;
      if (HRESULT hr = Text(args[0], name); !Succeeded(hr)) return hr;
      return Remove(name);
    }
    default:
      break;
  }
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT ConfigCollection::get_Count(int32_t* out) {
  if (out) *out = static_cast<int32_t>(items_.size());
  return S_OK;
}

HRESULT ConfigCollection::Item(const Variant& index, IConfigItem** out) {
  if (!out) return S_OK;
  *out = nullptr;
  RefPtr<IConfigItem> found;
  if (index.type() == VT_BSTR) {
    for (const RefPtr<IConfigItem>& item : items_)
      if (NameOf(*item) == index.AsString()) {
        found = item;
        break;
      }
  } else if (std::optional<int64_t> pos = Position(index)) {
    if (*pos >= 0 && *pos < static_cast<int64_t>(items_.size())) found = items_[static_cast<std::size_t>(*pos)];
  }
  *out = found.detach();
  return S_OK;
}

HRESULT ConfigCollection::Add(IConfigItem* item, int32_t* out) {
  if (!item) {
    if (out) *out = -1;
    return S_OK;
  }
  items_.push_back(RefPtr<IConfigItem>(item));
  if (out) *out = 0;
  return S_OK;
}

HRESULT ConfigCollection::RemoveAt(int32_t index) {
  if (index >= 0 && index < static_cast<int32_t>(items_.size())) items_.erase(items_.begin() + index);
  return S_OK;
}

HRESULT ConfigCollection::Remove(std::string_view name) {
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (NameOf(**it) == name) {
      items_.erase(it);
      break;
    }
  return S_OK;
}

ConfigBlock ConfigCollection::ToBlock() const {
  ConfigBlock b;
  b.name = "mailpull";
  b.entries.push_back(ConfigEntry{"LogLevel", std::to_string(logLevel_)});
  b.entries.push_back(ConfigEntry{"MaxThread", std::to_string(maxThreads_)});
  b.entries.insert(b.entries.end(), kept_.begin(), kept_.end());
  for (const RefPtr<IConfigItem>& item : items_) b.children.push_back(ItemBlockForSave(*item));
  return b;
}

HRESULT ConfigCollection::get_RawContent(std::string* out) {
  // The shared writer never writes a line that reads back differently: a
  // value's line break is written as a continued line, and a key that would
  // read back as a marker is left out.
  if (out) *out = SerializeConfig(ToBlock());
  return S_OK;
}

HRESULT ConfigCollection::put_RawContent(std::string_view text) {
  items_.clear();
  kept_.clear();
  std::optional<ConfigBlock> block = ParseConfig(text);
  if (!block) return S_OK;
  for (const ConfigEntry& e : block->entries)
    if (!EqualsNoCase(e.key, "LogLevel") && !EqualsNoCase(e.key, "MaxThread")) kept_.push_back(e);
  // Stored as read, without the limits of the puts.
  if (const ConfigEntry* e = block->Entry("LogLevel")) logLevel_ = ConfigInt(e->value);
  if (const ConfigEntry* e = block->Entry("MaxThread")) maxThreads_ = ConfigInt(e->value);
  for (const ConfigBlock& child : block->children) {
    RefPtr<ConfigItem> item = ConfigItem::Create();
    item->Load(child);
    items_.push_back(RefPtr<IConfigItem>(item.get()));
  }
  if (items_.size() >= 2)
    std::stable_sort(items_.begin(), items_.end(), [](const RefPtr<IConfigItem>& a, const RefPtr<IConfigItem>& b) {
      return LessNoCase(NameOf(*a), NameOf(*b));
    });
  return S_OK;
}

HRESULT ConfigCollection::get_LogLevel(int32_t* out) {
  if (out) *out = logLevel_;
  return S_OK;
}
HRESULT ConfigCollection::put_LogLevel(int32_t v) {
  logLevel_ = (v >= 0 && v <= 2) ? v : 1;
  return S_OK;
}
HRESULT ConfigCollection::get_MaxThreads(int32_t* out) {
  if (out) *out = maxThreads_;
  return S_OK;
}
HRESULT ConfigCollection::put_MaxThreads(int32_t v) {
  maxThreads_ = (v < 5 || v > 128) ? 20 : v;
  return S_OK;
}

}  // namespace tarnwick
