// Argument checks shared by the Invoke implementations of the coclasses.
#pragma once

#include "admin/Automation.h"
#include "admin/Interfaces.h"

#include <optional>
#include <span>
#include <string>

namespace tarnwick::dispatch {

inline bool IsGet(uint16_t kind) { return (kind & kDispatchPropertyGet) != 0; }
inline bool IsPut(uint16_t kind) { return (kind & kDispatchPropertyPut) != 0; }
inline bool IsCall(uint16_t kind) { return (kind & (kDispatchMethod | kDispatchPropertyGet)) != 0; }

inline HRESULT Count(std::span<const Variant> args, std::size_t n) {
  return args.size() == n ? S_OK : DISP_E_BADPARAMCOUNT;
}

// A BSTR parameter: a text, or empty/null for a null BSTR (nullopt).
inline HRESULT Text(const Variant& v, std::optional<std::string>& out) {
  if (v.type() == VT_BSTR) {
    out = v.AsString();
    return S_OK;
  }
  if (v.IsEmptyOrNull()) {
    out.reset();
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

inline HRESULT Text(const Variant& v, std::string& out) {
  std::optional<std::string> t;
  HRESULT hr = Text(v, t);
  if (Succeeded(hr)) out = t.value_or(std::string());
  return hr;
}

// A VARIANT_BOOL parameter: VT_BOOL or a number that fits 16 bits.
inline HRESULT Bool(const Variant& v, VARIANT_BOOL& out) {
  int32_t n = 0;
  if (HRESULT hr = v.ToLong(n); !Succeeded(hr)) return hr;
  if (n < -32768 || n > 32767) return DISP_E_OVERFLOW;
  out = static_cast<VARIANT_BOOL>(n);
  return S_OK;
}

// An IConfigItem parameter: an object that answers for IConfigItem, or
// empty/null for none (item stays null).
inline HRESULT ConfigItemArgument(const Variant& v, RefPtr<IConfigItem>& item) {
  if (v.type() == VT_DISPATCH && v.AsDispatch()) {
    void* p = nullptr;
    if (!Succeeded(v.AsDispatch()->QueryInterface(IID_IConfigItem, &p))) return DISP_E_TYPEMISMATCH;
    item = RefPtr<IConfigItem>::Adopt(static_cast<IConfigItem*>(p));
  } else if (!v.IsEmptyOrNull() && v.type() != VT_DISPATCH) {
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

inline void Set(Variant* result, Variant v) {
  if (result) *result = std::move(v);
}

inline Variant OptionalText(const std::optional<std::string>& t) {
  return t ? Variant::Bstr(*t) : Variant();
}

}  // namespace tarnwick::dispatch
