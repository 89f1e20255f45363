// ConfigItem: one account of the "mailpull" block as an automation object.
//
// Besides its properties, an item keeps every key it was loaded with that no
// property holds ("IMAP4Folder", "SocksProxyServer", "LogFileName", keys the
// engine learns later, ...) and any block inside the account block, so that
// saving the configuration through the object never loses a setting.
#pragma once

#include "admin/Interfaces.h"
#include "config/ConfigBlock.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Whether a text may be stored in a property or a kept key: the
// configuration text has no way to hold CR, LF or NUL in a value that reads
// back the same, so such texts are refused.
bool IsStorableText(std::string_view text);

class ConfigItem final : public AutomationObject<IConfigItem> {
 public:
  // A new item: a new GUID as its name, port 110, interval 15, active.
  static RefPtr<ConfigItem> Create();

  HRESULT QueryInterface(const Guid& iid, void** out) override;
  HRESULT GetIDsOfNames(std::string_view name, int32_t& dispid) override;
  HRESULT Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) override;

  // Text puts return E_INVALIDARG and change nothing for a text holding CR,
  // LF or NUL; every other put returns S_OK.
  HRESULT get_Server(std::string* out) override;
  HRESULT put_Server(std::string_view v) override;
  HRESULT get_User(std::string* out) override;
  HRESULT put_User(std::string_view v) override;
  HRESULT get_Password(std::string* out) override;
  HRESULT put_Password(std::string_view v) override;
  HRESULT get_Protocol(int32_t* out) override;
  HRESULT put_Protocol(int32_t v) override;
  HRESULT get_SSLConnection(VARIANT_BOOL* out) override;
  HRESULT put_SSLConnection(VARIANT_BOOL v) override;
  HRESULT get_SSLType(int32_t* out) override;
  HRESULT put_SSLType(int32_t v) override;
  HRESULT get_LeaveCopy(int32_t* out) override;
  HRESULT put_LeaveCopy(int32_t v) override;
  HRESULT get_Port(int32_t* out) override;
  HRESULT put_Port(int32_t v) override;
  HRESULT get_DownloadInterval(int32_t* out) override;
  HRESULT put_DownloadInterval(int32_t v) override;
  HRESULT get_LocalFolder(std::string* out) override;
  HRESULT put_LocalFolder(std::string_view v) override;
  HRESULT get_RunCommand(std::string* out) override;
  HRESULT put_RunCommand(std::string_view v) override;
  HRESULT get_AuthType(int32_t* out) override;
  HRESULT put_AuthType(int32_t v) override;
  HRESULT get_Name(std::string* out) override;
  HRESULT put_Name(std::string_view v) override;
  HRESULT get_IsUpdated(int32_t* out) override;
  HRESULT put_IsUpdated(int32_t v) override;
  HRESULT get_StartTime(int32_t* out) override;
  HRESULT put_StartTime(int32_t v) override;
  HRESULT get_Active(VARIANT_BOOL* out) override;
  HRESULT put_Active(VARIANT_BOOL v) override;
  HRESULT get_LocalUser(std::string* out) override;
  HRESULT put_LocalUser(std::string_view v) override;
  HRESULT get_LocalDomain(std::string* out) override;
  HRESULT put_LocalDomain(std::string_view v) override;
  HRESULT get_DistributeType(int32_t* out) override;
  HRESULT put_DistributeType(int32_t v) override;

  // The kept keys, in the order they were loaded or set ("IMAP4Folder" is
  // not among them).
  const std::vector<ConfigEntry>& KeptKeys() const { return kept_; }
  const std::vector<ConfigBlock>& KeptBlocks() const { return keptBlocks_; }
  // The value of a kept key (compared without regard to letter case).
  std::optional<std::string> KeptValue(std::string_view key) const;
  // Sets a kept key (replacing every entry of that key) and marks the item
  // changed. False, changing nothing, for a key that a property holds, an
  // empty key, a key holding ":" or blanks, or a value IsStorableText refuses.
  bool SetKept(std::string_view key, std::string_view value);
  // Removes a kept key; true when it was there (the item is then changed).
  bool RemoveKept(std::string_view key);

  // The remote folder: as loaded, or nullopt when the item had none (written
  // as "INBOX").
  const std::optional<std::string>& Imap4Folder() const { return imap4Folder_; }
  // Empty clears it. False for a text IsStorableText refuses.
  bool SetImap4Folder(std::string_view folder);

  // Fills a new item from an account block: the name, then the puts of the
  // properties in the reader's order ("Update" last), then the kept keys.
  void Load(const ConfigBlock& block);

 private:
  ConfigItem();
  HRESULT PutText(std::string& field, std::string_view v);
  void Touch() { isUpdated_ = 1; }

  std::string server_, user_, password_, localFolder_, runCommand_, name_, localUser_, localDomain_;
  int32_t protocol_ = 0, sslType_ = 0, leaveCopy_ = 0, port_ = 110, downloadInterval_ = 15, authType_ = 0;
  int32_t isUpdated_ = 0, startTime_ = 0, distributeType_ = 0;
  bool sslConnection_ = false, active_ = true;
  std::optional<std::string> imap4Folder_;
  std::vector<ConfigEntry> kept_;
  std::vector<ConfigBlock> keptBlocks_;
};

// Whether a key of an account block is held by a property of ConfigItem
// (or is "IMAP4Folder"), compared without regard to letter case.
bool IsItemPropertyKey(std::string_view key);

// The account block as the collection writes it: the described keys in
// their order, "IMAP4Folder" as loaded, then the kept keys and blocks.
ConfigBlock ItemBlockForSave(IConfigItem& item);
// The account block a test sends: the test's key order, then the kept keys.
ConfigBlock ItemBlockForTest(IConfigItem& item);

}  // namespace tarnwick
