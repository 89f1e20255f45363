#include "admin/Automation.h"

#include "platform/AsciiText.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace tarnwick {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string Guid::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return buf;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  uint8_t bytes[16];
  std::size_t n = 0;
  for (std::size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  Guid g;
  g.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  g.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

Guid Guid::New() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  uint64_t a = gen(), b = gen();
  Guid g;
  g.data1 = static_cast<uint32_t>(a >> 32);
  g.data2 = static_cast<uint16_t>(a >> 16);
  g.data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(b >> (56 - 8 * i));
  g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);  // variant 1
  return g;
}

Variant Variant::R4(float v) {
  Variant r = Of(VT_R4);
  r.d_ = v;
  return r;
}

Variant Variant::R8(double v) {
  Variant r = Of(VT_R8);
  r.d_ = v;
  return r;
}

Variant Variant::Bool(bool v) { return Int(VT_BOOL, v ? VARIANT_TRUE : VARIANT_FALSE); }

Variant Variant::Bstr(std::string v) {
  Variant r = Of(VT_BSTR);
  r.s_ = std::move(v);
  return r;
}

Variant Variant::Dispatch(IDispatch* v) {
  Variant r = Of(VT_DISPATCH);
  r.disp_ = RefPtr<IDispatch>(v);
  return r;
}

bool Variant::IsNumeric() const {
  switch (type_) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

HRESULT Variant::ToLong(int32_t& out) const {
  constexpr int64_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  switch (type_) {
    case VT_I2: case VT_I4: case VT_I8: case VT_INT: case VT_BOOL:
      if (i_ < lo || i_ > hi) return DISP_E_OVERFLOW;
      out = static_cast<int32_t>(i_);
      return S_OK;
    case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
      if (u_ > static_cast<uint64_t>(hi)) return DISP_E_OVERFLOW;
      out = static_cast<int32_t>(u_);
      return S_OK;
    case VT_R4: case VT_R8: {
      double t = std::trunc(d_);
      if (!(t >= static_cast<double>(lo) && t <= static_cast<double>(hi))) return DISP_E_OVERFLOW;
      out = static_cast<int32_t>(t);
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT FindDispid(std::span<const DispatchMember> table, std::string_view name, int32_t& dispid) {
  for (const DispatchMember& m : table)
    if (EqualsNoCase(m.name, name)) {
      dispid = m.dispid;
      return S_OK;
    }
  return DISP_E_UNKNOWNNAME;
}

std::atomic<long>& LiveObjectCount() {
  static std::atomic<long> count{0};
  return count;
}

}  // namespace tarnwick
