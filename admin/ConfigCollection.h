// ConfigCollection: the "mailpull" block as an automation object, holding one
// ConfigItem per account, and its configuration text in both directions.
#pragma once

#include "admin/ConfigItem.h"
#include "admin/Interfaces.h"
#include "config/ConfigBlock.h"

#include <string>
#include <vector>

namespace tarnwick {

class ConfigCollection final : public AutomationObject<IConfigCollection> {
 public:
  // An empty collection: log level 1, max threads 20.
  static RefPtr<ConfigCollection> Create();

  HRESULT QueryInterface(const Guid& iid, void** out) override;
  HRESULT GetIDsOfNames(std::string_view name, int32_t& dispid) override;
  HRESULT Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) override;

  HRESULT get_Count(int32_t* out) override;
  HRESULT Item(const Variant& index, IConfigItem** out) override;
  HRESULT Add(IConfigItem* item, int32_t* out) override;
  HRESULT RemoveAt(int32_t index) override;
  HRESULT get_RawContent(std::string* out) override;
  HRESULT put_RawContent(std::string_view text) override;
  HRESULT get_LogLevel(int32_t* out) override;
  HRESULT put_LogLevel(int32_t v) override;
  HRESULT get_MaxThreads(int32_t* out) override;
  HRESULT put_MaxThreads(int32_t v) override;
  HRESULT Remove(std::string_view name) override;

  // The items in order, each with a new reference.
  std::vector<RefPtr<IConfigItem>> Items() const { return items_; }
  // The block RawContent writes.
  ConfigBlock ToBlock() const;

 private:
  ConfigCollection() = default;

  std::vector<RefPtr<IConfigItem>> items_;
  int32_t logLevel_ = 1;
  int32_t maxThreads_ = 20;
  // Keys of the block other than "LogLevel" and "MaxThread", kept like an
  // item's keys so that a save keeps them.
  std::vector<ConfigEntry> kept_;
};

}  // namespace tarnwick
