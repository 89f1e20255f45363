#include "admin/ConfigItem.h"

#include "admin/DispatchHelpers.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <array>

namespace tarnwick {

namespace {

// The dispatch table of IConfigItem: each property's get and put share its dispid.
enum class Kind { kText, kLong, kBool };
struct Property {
  std::string_view name;
  int32_t dispid;
  Kind kind;
  HRESULT (IConfigItem::*getText)(std::string*) = nullptr;
  HRESULT (IConfigItem::*putText)(std::string_view) = nullptr;
  HRESULT (IConfigItem::*getLong)(int32_t*) = nullptr;
  HRESULT (IConfigItem::*putLong)(int32_t) = nullptr;
  HRESULT (IConfigItem::*getBool)(VARIANT_BOOL*) = nullptr;
  HRESULT (IConfigItem::*putBool)(VARIANT_BOOL) = nullptr;
};

constexpr Property TextProp(std::string_view n, int32_t id, HRESULT (IConfigItem::*g)(std::string*),
                            HRESULT (IConfigItem::*p)(std::string_view)) {
  return Property{n, id, Kind::kText, g, p};
}
constexpr Property LongProp(std::string_view n, int32_t id, HRESULT (IConfigItem::*g)(int32_t*),
                            HRESULT (IConfigItem::*p)(int32_t)) {
  return Property{n, id, Kind::kLong, nullptr, nullptr, g, p};
}
constexpr Property BoolProp(std::string_view n, int32_t id, HRESULT (IConfigItem::*g)(VARIANT_BOOL*),
                            HRESULT (IConfigItem::*p)(VARIANT_BOOL)) {
  return Property{n, id, Kind::kBool, nullptr, nullptr, nullptr, nullptr, g, p};
}

const std::array<Property, 19> kProperties{{
    TextProp("Server", 1, &IConfigItem::get_Server, &IConfigItem::put_Server),
    TextProp("User", 2, &IConfigItem::get_User, &IConfigItem::put_User),
    TextProp("Password", 3, &IConfigItem::get_Password, &IConfigItem::put_Password),
    LongProp("Protocol", 4, &IConfigItem::get_Protocol, &IConfigItem::put_Protocol),
    BoolProp("SSLConnection", 5, &IConfigItem::get_SSLConnection, &IConfigItem::put_SSLConnection),
    LongProp("SSLType", 6, &IConfigItem::get_SSLType, &IConfigItem::put_SSLType),
    LongProp("LeaveCopy", 7, &IConfigItem::get_LeaveCopy, &IConfigItem::put_LeaveCopy),
    LongProp("Port", 8, &IConfigItem::get_Port, &IConfigItem::put_Port),
    LongProp("DownloadInterval", 9, &IConfigItem::get_DownloadInterval, &IConfigItem::put_DownloadInterval),
    TextProp("LocalFolder", 10, &IConfigItem::get_LocalFolder, &IConfigItem::put_LocalFolder),
    TextProp("RunCommand", 11, &IConfigItem::get_RunCommand, &IConfigItem::put_RunCommand),
    LongProp("AuthType", 12, &IConfigItem::get_AuthType, &IConfigItem::put_AuthType),
    TextProp("Name", 13, &IConfigItem::get_Name, &IConfigItem::put_Name),
    LongProp("IsUpdated", 14, &IConfigItem::get_IsUpdated, &IConfigItem::put_IsUpdated),
    LongProp("StartTime", 15, &IConfigItem::get_StartTime, &IConfigItem::put_StartTime),
    BoolProp("Active", 16, &IConfigItem::get_Active, &IConfigItem::put_Active),
    TextProp("LocalUser", 17, &IConfigItem::get_LocalUser, &IConfigItem::put_LocalUser),
    TextProp("LocalDomain", 18, &IConfigItem::get_LocalDomain, &IConfigItem::put_LocalDomain),
    LongProp("DistributeType", 19, &IConfigItem::get_DistributeType, &IConfigItem::put_DistributeType),
}};

// Keys of an account block that a property holds, plus the remote folder.
constexpr std::array<std::string_view, 19> kPropertyKeys{
    "Server", "Port", "Protocol", "SSLConnection", "Active", "SSLType", "User", "Password",
    "LocalUser", "LocalDomain", "AuthType", "DistributeType", "LeaveCopy", "IMAP4Folder",
    "LocalFolder", "DownloadInterval", "StartTime", "Update", "StartProcess"};

bool ValidKeyName(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key)
    if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

std::string Decimal(int32_t v) { return std::to_string(v); }

std::string TextOf(IConfigItem& item, HRESULT (IConfigItem::*get)(std::string*)) {
  std::string s;
  (item.*get)(&s);
  return s;
}
int32_t LongOf(IConfigItem& item, HRESULT (IConfigItem::*get)(int32_t*)) {
  int32_t v = 0;
  (item.*get)(&v);
  return v;
}
std::string FlagOf(IConfigItem& item, HRESULT (IConfigItem::*get)(VARIANT_BOOL*)) {
  VARIANT_BOOL v = VARIANT_FALSE;
  (item.*get)(&v);
  return v ? "1" : "0";
}

// The remote folder and kept keys of one of our own items; a foreign
// implementation of IConfigItem has none.
const ConfigItem* OwnItem(IConfigItem& item) { return dynamic_cast<const ConfigItem*>(&item); }

void AppendKept(IConfigItem& item, ConfigBlock& block) {
  if (const ConfigItem* own = OwnItem(item)) {
    block.entries.insert(block.entries.end(), own->KeptKeys().begin(), own->KeptKeys().end());
    block.children = own->KeptBlocks();
  }
}

std::string FolderOf(IConfigItem& item) {
  const ConfigItem* own = OwnItem(item);
  return own && own->Imap4Folder() ? *own->Imap4Folder() : std::string("INBOX");
}

}  // namespace

bool IsStorableText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool IsItemPropertyKey(std::string_view key) {
  return std::any_of(kPropertyKeys.begin(), kPropertyKeys.end(),
                     [&](std::string_view k) { return EqualsNoCase(k, key); });
}

ConfigItem::ConfigItem() : name_(Guid::New().ToString()) {}

RefPtr<ConfigItem> ConfigItem::Create() { return RefPtr<ConfigItem>(new ConfigItem()); }

HRESULT ConfigItem::QueryInterface(const Guid& iid, void** out) {
  return QueryOwnInterface(iid, IID_IConfigItem, out);
}

HRESULT ConfigItem::GetIDsOfNames(std::string_view name, int32_t& dispid) {
  for (const Property& p : kProperties)
    if (EqualsNoCase(p.name, name)) {
      dispid = p.dispid;
      return S_OK;
    }
  return DISP_E_UNKNOWNNAME;
}

HRESULT ConfigItem::Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) {
  if (dispid < 1 || dispid > static_cast<int32_t>(kProperties.size())) return DISP_E_MEMBERNOTFOUND;
  const Property& p = kProperties[static_cast<std::size_t>(dispid - 1)];
  if (dispatch::IsPut(kind)) {
    if (HRESULT hr = dispatch::Count(args, 1); !Succeeded(hr)) return hr;
    switch (p.kind) {
      case Kind::kText: {
        std::string v;
        if (HRESULT hr = dispatch::Text(args[0], v); !Succeeded(hr)) return hr;
        return (this->*p.putText)(v);
      }
      case Kind::kLong: {
        int32_t v = 0;
        if (HRESULT hr = args[0].ToLong(v); !Succeeded(hr)) return hr;
        return (this->*p.putLong)(v);
      }
      case Kind::kBool: {
        VARIANT_BOOL v = 0;
        if (HRESULT hr = dispatch::Bool(args[0], v); !Succeeded(hr)) return hr;
        return (this->*p.putBool)(v);
      }
    }
  }
  if (dispatch::IsGet(kind)) {
    if (HRESULT hr = dispatch::Count(args, 0); !Succeeded(hr)) return hr;
    switch (p.kind) {
      case Kind::kText:
        dispatch::Set(result, Variant::Bstr(TextOf(*this, p.getText)));
        break;
      case Kind::kLong:
        dispatch::Set(result, Variant::I4(LongOf(*this, p.getLong)));
        break;
      case Kind::kBool: {
        VARIANT_BOOL v = 0;
        (this->*p.getBool)(&v);
        dispatch::Set(result, Variant::Bool(v != 0));
        break;
      }
    }
    return S_OK;
  }
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT ConfigItem::PutText(std::string& field, std::string_view v) {
  if (!IsStorableText(v)) return E_INVALIDARG;
  field.assign(v);
  Touch();
  return S_OK;
}

#define TW_TEXT_PROPERTY(Prop, field)                                        \
  HRESULT ConfigItem::get_##Prop(std::string* out) {                          \
    if (out) *out = field;                                                    \
    return S_OK;                                                              \
  }                                                                           \
  HRESULT ConfigItem::put_##Prop(std::string_view v) { return PutText(field, v); }

TW_TEXT_PROPERTY(Server, server_)
TW_TEXT_PROPERTY(User, user_)
TW_TEXT_PROPERTY(Password, password_)
TW_TEXT_PROPERTY(LocalFolder, localFolder_)
TW_TEXT_PROPERTY(RunCommand, runCommand_)
TW_TEXT_PROPERTY(LocalUser, localUser_)
TW_TEXT_PROPERTY(LocalDomain, localDomain_)
#undef TW_TEXT_PROPERTY

#define TW_LONG_GET(Prop, field)                 \
  HRESULT ConfigItem::get_##Prop(int32_t* out) { \
    if (out) *out = field;                       \
    return S_OK;                                 \
  }
TW_LONG_GET(Protocol, protocol_)
TW_LONG_GET(SSLType, sslType_)
TW_LONG_GET(LeaveCopy, leaveCopy_)
TW_LONG_GET(Port, port_)
TW_LONG_GET(DownloadInterval, downloadInterval_)
TW_LONG_GET(AuthType, authType_)
TW_LONG_GET(IsUpdated, isUpdated_)
TW_LONG_GET(StartTime, startTime_)
TW_LONG_GET(DistributeType, distributeType_)
#undef TW_LONG_GET

HRESULT ConfigItem::put_Protocol(int32_t v) {
  protocol_ = (v >= 0 && v <= 3) ? v : 0;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_SSLType(int32_t v) {
  sslType_ = (v >= 0 && v <= 2) ? v : 0;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_LeaveCopy(int32_t v) {
  leaveCopy_ = v > 0 ? 1 : 0;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_Port(int32_t v) {
  port_ = v;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_DownloadInterval(int32_t v) {
  downloadInterval_ = v < 0 ? 15 : v;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_AuthType(int32_t v) {
  authType_ = (v >= 0 && v <= 2) ? v : 0;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::put_IsUpdated(int32_t v) {
  isUpdated_ = v;
  return S_OK;
}
HRESULT ConfigItem::put_StartTime(int32_t v) {
  startTime_ = v;
  return S_OK;
}
HRESULT ConfigItem::put_DistributeType(int32_t v) {
  distributeType_ = v != 0 ? 1 : 0;
  Touch();
  return S_OK;
}

HRESULT ConfigItem::get_SSLConnection(VARIANT_BOOL* out) {
  if (out) *out = sslConnection_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
HRESULT ConfigItem::put_SSLConnection(VARIANT_BOOL v) {
  sslConnection_ = v == VARIANT_TRUE;
  Touch();
  return S_OK;
}
HRESULT ConfigItem::get_Active(VARIANT_BOOL* out) {
  if (out) *out = active_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
HRESULT ConfigItem::put_Active(VARIANT_BOOL v) {
  active_ = v == VARIANT_TRUE;
  Touch();
  return S_OK;
}

HRESULT ConfigItem::get_Name(std::string* out) {
  if (out) *out = name_;
  return S_OK;
}
HRESULT ConfigItem::put_Name(std::string_view v) {
  std::size_t b = v.find_first_not_of(" \r\n\t");
  if (b == std::string_view::npos) return S_OK;  // nothing left: the name stays
  std::size_t e = v.find_last_not_of(" \r\n\t");
  std::string_view trimmed = v.substr(b, e - b + 1);
  if (!IsStorableText(trimmed)) return E_INVALIDARG;
  name_.assign(trimmed);
  Touch();
  return S_OK;
}

std::optional<std::string> ConfigItem::KeptValue(std::string_view key) const {
  for (const ConfigEntry& e : kept_)
    if (EqualsNoCase(e.key, key)) return e.value;
  return std::nullopt;
}

bool ConfigItem::SetKept(std::string_view key, std::string_view value) {
  if (!ValidKeyName(key) || IsItemPropertyKey(key) || !IsStorableText(value)) return false;
  auto first = std::find_if(kept_.begin(), kept_.end(), [&](const ConfigEntry& e) { return EqualsNoCase(e.key, key); });
  if (first == kept_.end()) {
    kept_.push_back(ConfigEntry{std::string(key), std::string(value)});
  } else {
    first->value.assign(value);
    kept_.erase(std::remove_if(first + 1, kept_.end(), [&](const ConfigEntry& e) { return EqualsNoCase(e.key, key); }),
                kept_.end());
  }
  Touch();
  return true;
}

bool ConfigItem::RemoveKept(std::string_view key) {
  auto end = std::remove_if(kept_.begin(), kept_.end(), [&](const ConfigEntry& e) { return EqualsNoCase(e.key, key); });
  if (end == kept_.end()) return false;
  kept_.erase(end, kept_.end());
  Touch();
  return true;
}

bool ConfigItem::SetImap4Folder(std::string_view folder) {
  if (!IsStorableText(folder)) return false;
  if (folder.empty())
    imap4Folder_.reset();
  else
    imap4Folder_ = std::string(folder);
  Touch();
  return true;
}

void ConfigItem::Load(const ConfigBlock& block) {
  put_Name(block.name);
  // A value read from configuration text may hold the line breaks of a
  // continued line; it is kept as it is and written back the same way.
  auto text = [&](std::string_view key, std::string& field) {
    if (const ConfigEntry* e = block.Entry(key)) {
      field = e->value;
      Touch();
    }
  };
  auto number = [&](std::string_view key, HRESULT (ConfigItem::*put)(int32_t)) {
    if (const ConfigEntry* e = block.Entry(key)) (this->*put)(ConfigInt(e->value));
  };
  auto flag = [&](std::string_view key, HRESULT (ConfigItem::*put)(VARIANT_BOOL)) {
    if (const ConfigEntry* e = block.Entry(key)) (this->*put)(ConfigInt(e->value) > 0 ? VARIANT_TRUE : VARIANT_FALSE);
  };
  text("Server", server_);
  number("Port", &ConfigItem::put_Port);
  number("Protocol", &ConfigItem::put_Protocol);
  flag("SSLConnection", &ConfigItem::put_SSLConnection);
  flag("Active", &ConfigItem::put_Active);
  text("User", user_);
  text("Password", password_);
  text("LocalUser", localUser_);
  text("LocalDomain", localDomain_);
  number("AuthType", &ConfigItem::put_AuthType);
  number("DistributeType", &ConfigItem::put_DistributeType);
  number("SSLType", &ConfigItem::put_SSLType);
  number("LeaveCopy", &ConfigItem::put_LeaveCopy);
  number("StartTime", &ConfigItem::put_StartTime);
  text("LocalFolder", localFolder_);
  number("DownloadInterval", &ConfigItem::put_DownloadInterval);
  text("StartProcess", runCommand_);
  number("Update", &ConfigItem::put_IsUpdated);

  if (const ConfigEntry* e = block.Entry("IMAP4Folder")) imap4Folder_ = e->value;
  for (const ConfigEntry& e : block.entries)
    if (!IsItemPropertyKey(e.key)) kept_.push_back(e);
  keptBlocks_ = block.children;
}

ConfigBlock ItemBlockForSave(IConfigItem& item) {
  ConfigBlock b;
  b.name = TextOf(item, &IConfigItem::get_Name);
  auto add = [&](std::string_view key, std::string value) { b.entries.push_back(ConfigEntry{std::string(key), std::move(value)}); };
  add("Server", TextOf(item, &IConfigItem::get_Server));
  add("Port", Decimal(LongOf(item, &IConfigItem::get_Port)));
  add("Protocol", Decimal(LongOf(item, &IConfigItem::get_Protocol)));
  add("SSLConnection", FlagOf(item, &IConfigItem::get_SSLConnection));
  add("Active", FlagOf(item, &IConfigItem::get_Active));
  add("SSLType", Decimal(LongOf(item, &IConfigItem::get_SSLType)));
  add("User", TextOf(item, &IConfigItem::get_User));
  add("Password", TextOf(item, &IConfigItem::get_Password));
  add("LocalUser", TextOf(item, &IConfigItem::get_LocalUser));
  add("LocalDomain", TextOf(item, &IConfigItem::get_LocalDomain));
  add("AuthType", Decimal(LongOf(item, &IConfigItem::get_AuthType)));
  add("DistributeType", Decimal(LongOf(item, &IConfigItem::get_DistributeType)));
  add("LeaveCopy", Decimal(LongOf(item, &IConfigItem::get_LeaveCopy)));
  add("IMAP4Folder", FolderOf(item));
  add("LocalFolder", TextOf(item, &IConfigItem::get_LocalFolder));
  add("DownloadInterval", Decimal(LongOf(item, &IConfigItem::get_DownloadInterval)));
  add("StartTime", Decimal(LongOf(item, &IConfigItem::get_StartTime)));
  add("Update", Decimal(LongOf(item, &IConfigItem::get_IsUpdated)));
  add("StartProcess", TextOf(item, &IConfigItem::get_RunCommand));
  AppendKept(item, b);
  return b;
}

ConfigBlock ItemBlockForTest(IConfigItem& item) {
  ConfigBlock b;
  b.name = TextOf(item, &IConfigItem::get_Name);
  auto add = [&](std::string_view key, std::string value) { b.entries.push_back(ConfigEntry{std::string(key), std::move(value)}); };
  add("Server", TextOf(item, &IConfigItem::get_Server));
  add("Port", Decimal(LongOf(item, &IConfigItem::get_Port)));
  add("Protocol", Decimal(LongOf(item, &IConfigItem::get_Protocol)));
  add("SSLConnection", FlagOf(item, &IConfigItem::get_SSLConnection));
  add("SSLType", Decimal(LongOf(item, &IConfigItem::get_SSLType)));
  add("User", TextOf(item, &IConfigItem::get_User));
  add("Password", TextOf(item, &IConfigItem::get_Password));
  add("AuthType", Decimal(LongOf(item, &IConfigItem::get_AuthType)));
  add("LeaveCopy", Decimal(LongOf(item, &IConfigItem::get_LeaveCopy)));
  add("IMAP4Folder", FolderOf(item));
  add("LocalFolder", TextOf(item, &IConfigItem::get_LocalFolder));
  add("LocalUser", TextOf(item, &IConfigItem::get_LocalUser));
  add("LocalDomain", TextOf(item, &IConfigItem::get_LocalDomain));
  add("DownloadInterval", Decimal(LongOf(item, &IConfigItem::get_DownloadInterval)));
  add("StartTime", Decimal(LongOf(item, &IConfigItem::get_StartTime)));
  add("Update", Decimal(LongOf(item, &IConfigItem::get_IsUpdated)));
  add("StartProcess", TextOf(item, &IConfigItem::get_RunCommand));
  AppendKept(item, b);
  return b;
}

}  // namespace tarnwick
