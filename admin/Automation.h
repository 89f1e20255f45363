// The automation plumbing of the administration object: result codes, GUIDs,
// the Variant that late-bound calls carry, reference counting and the
// dispatch interface every coclass implements.
//
// A scripting host reaches a member in two steps, like any automation client:
//   GetIDsOfNames("Server") -> dispid 1
//   Invoke(1, kPropertyGet, {}, &result)
// Arguments are passed in declaration order; a member's out argument comes
// back as the result.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }

using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  bool operator==(const Guid&) const = default;
  // Registry form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
  std::string ToString() const;
  // Accepts the registry form in any letter case.
  static std::optional<Guid> Parse(std::string_view text);
  // A new random GUID (version 4).
  static Guid New();
};

// Kinds of Invoke.
inline constexpr uint16_t kDispatchMethod = 1;
inline constexpr uint16_t kDispatchPropertyGet = 2;
inline constexpr uint16_t kDispatchPropertyPut = 4;

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_BOOL = 11,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
};

// {00000000-0000-0000-C000-000000000046}
inline constexpr Guid IID_IUnknown{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {00020400-0000-0000-C000-000000000046}
inline constexpr Guid IID_IDispatch{0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class IDispatch;

// The interfaces' common root: identity and reference counting.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Holds one reference to an interface and releases it when it goes away.
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Takes a new reference.
  explicit RefPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  // Adopts a reference the caller already holds.
  static RefPtr Adopt(T* p) {
    RefPtr r;
    r.p_ = p;
    return r;
  }
  RefPtr(const RefPtr& o) : RefPtr(o.p_) {}
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& o) : RefPtr(static_cast<T*>(o.get())) {}
  RefPtr& operator=(RefPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RefPtr() { reset(); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Gives up the reference to the caller.
  T* detach() { return std::exchange(p_, nullptr); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// The value of one argument or result of a late-bound call.
class Variant {
 public:
  Variant() = default;
  Variant(const Variant&) = default;
  Variant(Variant&&) noexcept = default;
  Variant& operator=(const Variant&) = default;
  Variant& operator=(Variant&&) noexcept = default;

  static Variant Null() { return Of(VT_NULL); }
  static Variant I2(int16_t v) { return Int(VT_I2, v); }
  static Variant I4(int32_t v) { return Int(VT_I4, v); }
  static Variant Int32(int32_t v) { return Int(VT_INT, v); }
  static Variant I8(int64_t v) { return Int(VT_I8, v); }
  static Variant UI2(uint16_t v) { return UInt(VT_UI2, v); }
  static Variant UI4(uint32_t v) { return UInt(VT_UI4, v); }
  static Variant UInt32(uint32_t v) { return UInt(VT_UINT, v); }
  static Variant UI8(uint64_t v) { return UInt(VT_UI8, v); }
  static Variant R4(float v);
  static Variant R8(double v);
  static Variant Bool(bool v);
  static Variant Bstr(std::string v);
  static Variant Dispatch(IDispatch* v);  // takes a new reference; null allowed

  VarType type() const { return type_; }
  bool IsEmptyOrNull() const { return type_ == VT_EMPTY || type_ == VT_NULL; }
  bool IsNumeric() const;
  int64_t AsInt64() const { return i_; }      // VT_I2, VT_I4, VT_I8, VT_INT, VT_BOOL
  uint64_t AsUInt64() const { return u_; }    // VT_UI2, VT_UI4, VT_UI8, VT_UINT
  double AsDouble() const { return d_; }      // VT_R4, VT_R8
  const std::string& AsString() const { return s_; }  // VT_BSTR
  IDispatch* AsDispatch() const { return disp_.get(); }
  VARIANT_BOOL AsBool() const { return static_cast<VARIANT_BOOL>(i_); }

  // The value as a 32-bit signed number for a parameter of type long:
  // integers must fit (DISP_E_OVERFLOW otherwise), reals are truncated
  // toward zero, VT_BOOL gives -1 or 0; other types give DISP_E_TYPEMISMATCH.
  HRESULT ToLong(int32_t& out) const;

 private:
  static Variant Of(VarType t) {
    Variant v;
    v.type_ = t;
    return v;
  }
  static Variant Int(VarType t, int64_t v) {
    Variant r = Of(t);
    r.i_ = v;
    return r;
  }
  static Variant UInt(VarType t, uint64_t v) {
    Variant r = Of(t);
    r.u_ = v;
    return r;
  }

  VarType type_ = VT_EMPTY;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  std::string s_;
  RefPtr<IDispatch> disp_;
};

// Late binding: names to dispids, and calls by dispid.
class IDispatch : public IUnknown {
 public:
  // The dispid of a member name, compared without regard to letter case.
  virtual HRESULT GetIDsOfNames(std::string_view name, int32_t& dispid) = 0;
  // Calls the member. args are in declaration order (without the out
  // argument); result receives the out argument when the caller wants it.
  // DISP_E_MEMBERNOTFOUND for an unknown dispid or kind,
  // DISP_E_BADPARAMCOUNT for a wrong number of arguments,
  // DISP_E_TYPEMISMATCH for an argument of a type the member cannot take.
  virtual HRESULT Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) = 0;

 protected:
  ~IDispatch() = default;
};

// One row of a class's dispatch table (standing in for its type library).
struct DispatchMember {
  std::string_view name;
  int32_t dispid;
};

// Looks a name up in a dispatch table.
HRESULT FindDispid(std::span<const DispatchMember> table, std::string_view name, int32_t& dispid);

// Counts the objects of this module that are alive, for DllCanUnloadNow.
std::atomic<long>& LiveObjectCount();

// Reference counting shared by the coclasses, and the QueryInterface answer
// for IUnknown, IDispatch and the class's own interface.
template <class Interface>
class AutomationObject : public Interface {
 public:
  uint32_t AddRef() override { return static_cast<uint32_t>(refs_.fetch_add(1) + 1); }
  uint32_t Release() override {
    long left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return static_cast<uint32_t>(left);
  }

 protected:
  AutomationObject() { LiveObjectCount().fetch_add(1); }
  virtual ~AutomationObject() { LiveObjectCount().fetch_sub(1); }

  HRESULT QueryOwnInterface(const Guid& iid, const Guid& own, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == own) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

 private:
  std::atomic<long> refs_{0};
};

}  // namespace tarnwick
