// The interfaces of the administration object, their identities and those of
// its classes. The virtual members of each interface are in slot order; every
// member returns S_OK unless noted and gives its outcome through its out
// argument.
#pragma once

#include "admin/Automation.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// {5687B0EC-3A90-4490-A362-AC71AF8C0DF4}
inline constexpr Guid IID_IConfigItem{0x5687B0EC, 0x3A90, 0x4490, {0xA3, 0x62, 0xAC, 0x71, 0xAF, 0x8C, 0x0D, 0xF4}};
// {FE7739E4-6441-4BF4-BFC8-AA8C284DFD9E}
inline constexpr Guid IID_IConfigCollection{0xFE7739E4, 0x6441, 0x4BF4, {0xBF, 0xC8, 0xAA, 0x8C, 0x28, 0x4D, 0xFD, 0x9E}};
// {8E3586A6-D6A3-4925-B90B-559E898CB183}
inline constexpr Guid IID_IManager{0x8E3586A6, 0xD6A3, 0x4925, {0xB9, 0x0B, 0x55, 0x9E, 0x89, 0x8C, 0xB1, 0x83}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr Guid IID_IClassFactory{0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// {4A256E38-78D1-46F3-8B77-1415D72ED45B}
inline constexpr Guid CLSID_Manager{0x4A256E38, 0x78D1, 0x46F3, {0x8B, 0x77, 0x14, 0x15, 0xD7, 0x2E, 0xD4, 0x5B}};
// {432E2B4F-FB6F-407F-8D91-6730656DD32F}
inline constexpr Guid CLSID_ConfigCollection{0x432E2B4F, 0xFB6F, 0x407F, {0x8D, 0x91, 0x67, 0x30, 0x65, 0x6D, 0xD3, 0x2F}};
// {FEE0BF66-4340-4E73-9FFD-DFD57E4DA09B}
inline constexpr Guid CLSID_ConfigItem{0xFEE0BF66, 0x4340, 0x4E73, {0x9F, 0xFD, 0xDF, 0xD5, 0x7E, 0x4D, 0xA0, 0x9B}};
// Type library TarnwickSvcObjLib {2E853381-89FE-4364-A052-514B13796761}
inline constexpr Guid LIBID_TarnwickSvcObjLib{0x2E853381, 0x89FE, 0x4364, {0xA0, 0x52, 0x51, 0x4B, 0x13, 0x79, 0x67, 0x61}};
// AppID {552C907D-C2DD-426D-9917-14AC569B7E00}
inline constexpr Guid APPID_TarnwickSvcObj{0x552C907D, 0xC2DD, 0x426D, {0x99, 0x17, 0x14, 0xAC, 0x56, 0x9B, 0x7E, 0x00}};

// One account. Text is UTF-8.
class IConfigItem : public IDispatch {
 public:
  virtual HRESULT get_Server(std::string* out) = 0;
  virtual HRESULT put_Server(std::string_view v) = 0;
  virtual HRESULT get_User(std::string* out) = 0;
  virtual HRESULT put_User(std::string_view v) = 0;
  virtual HRESULT get_Password(std::string* out) = 0;
  virtual HRESULT put_Password(std::string_view v) = 0;
  virtual HRESULT get_Protocol(int32_t* out) = 0;
  virtual HRESULT put_Protocol(int32_t v) = 0;
  virtual HRESULT get_SSLConnection(VARIANT_BOOL* out) = 0;
  virtual HRESULT put_SSLConnection(VARIANT_BOOL v) = 0;
  virtual HRESULT get_SSLType(int32_t* out) = 0;
  virtual HRESULT put_SSLType(int32_t v) = 0;
  virtual HRESULT get_LeaveCopy(int32_t* out) = 0;
  virtual HRESULT put_LeaveCopy(int32_t v) = 0;
  virtual HRESULT get_Port(int32_t* out) = 0;
  virtual HRESULT put_Port(int32_t v) = 0;
  virtual HRESULT get_DownloadInterval(int32_t* out) = 0;
  virtual HRESULT put_DownloadInterval(int32_t v) = 0;
  virtual HRESULT get_LocalFolder(std::string* out) = 0;
  virtual HRESULT put_LocalFolder(std::string_view v) = 0;
  virtual HRESULT get_RunCommand(std::string* out) = 0;
  virtual HRESULT put_RunCommand(std::string_view v) = 0;
  virtual HRESULT get_AuthType(int32_t* out) = 0;
  virtual HRESULT put_AuthType(int32_t v) = 0;
  virtual HRESULT get_Name(std::string* out) = 0;
  virtual HRESULT put_Name(std::string_view v) = 0;
  virtual HRESULT get_IsUpdated(int32_t* out) = 0;
  virtual HRESULT put_IsUpdated(int32_t v) = 0;
  virtual HRESULT get_StartTime(int32_t* out) = 0;
  virtual HRESULT put_StartTime(int32_t v) = 0;
  virtual HRESULT get_Active(VARIANT_BOOL* out) = 0;
  virtual HRESULT put_Active(VARIANT_BOOL v) = 0;
  virtual HRESULT get_LocalUser(std::string* out) = 0;
  virtual HRESULT put_LocalUser(std::string_view v) = 0;
  virtual HRESULT get_LocalDomain(std::string* out) = 0;
  virtual HRESULT put_LocalDomain(std::string_view v) = 0;
  virtual HRESULT get_DistributeType(int32_t* out) = 0;
  virtual HRESULT put_DistributeType(int32_t v) = 0;

 protected:
  ~IConfigItem() = default;
};

// The "mailpull" block: the accounts and the global pull settings.
class IConfigCollection : public IDispatch {
 public:
  virtual HRESULT get_Count(int32_t* out) = 0;
  // No match leaves *out null.
  virtual HRESULT Item(const Variant& index, IConfigItem** out) = 0;
  // 0 when added, -1 for a null item.
  virtual HRESULT Add(IConfigItem* item, int32_t* out) = 0;
  virtual HRESULT RemoveAt(int32_t index) = 0;
  virtual HRESULT get_RawContent(std::string* out) = 0;
  virtual HRESULT put_RawContent(std::string_view text) = 0;
  virtual HRESULT get_LogLevel(int32_t* out) = 0;
  virtual HRESULT put_LogLevel(int32_t v) = 0;
  virtual HRESULT get_MaxThreads(int32_t* out) = 0;
  virtual HRESULT put_MaxThreads(int32_t v) = 0;
  virtual HRESULT Remove(std::string_view name) = 0;

 protected:
  ~IConfigCollection() = default;
};

// The connection to the running engine. An unset text result is nullopt.
class IManager : public IDispatch {
 public:
  // 0 connected; 1 the pipe could not be opened; 2 no greeting.
  virtual HRESULT Connect(int32_t* out) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT QuerySessionDesc(int32_t formatDesc, std::optional<std::string>* out) = 0;
  virtual HRESULT OpenDoc(std::string_view docName) = 0;
  virtual HRESULT get_Configs(IConfigCollection** out) = 0;
  virtual HRESULT UpdateConfig() = 0;
  virtual HRESULT RefreshConfig() = 0;
  virtual HRESULT QueryLog(int32_t formatDesc, std::optional<std::string>* out) = 0;
  virtual HRESULT OpenFolder(std::optional<std::string>* out) = 0;
  virtual HRESULT OpenFile(const std::optional<std::string>& filter, std::optional<std::string>* out) = 0;
  virtual HRESULT ExistFile(const std::optional<std::string>& fileOrFolder, VARIANT_BOOL* out) = 0;
  // 0 when handed to the engine; 1 for a null item; otherwise *out is kept.
  virtual HRESULT Test(IConfigItem* item, int32_t* out) = 0;
  // nullopt while the test runs.
  virtual HRESULT QueryTestResult(std::string_view name, std::optional<std::string>* out) = 0;
  virtual HRESULT Uninstall() = 0;

 protected:
  ~IManager() = default;
};

// Makes instances of one class.
class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

}  // namespace tarnwick
