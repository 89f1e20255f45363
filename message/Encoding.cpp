#include "message/Encoding.h"

#include <algorithm>

#include "platform/Host.h"

namespace tarnwick {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of a Base64 character ("=" counts 0), -1 outside the alphabet.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 0;
  return -1;
}

// Value of a quoted-printable digit. Characters that are not hexadecimal
// digits are not rejected; they give these fixed values.
int QpDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c == '=') return 255;
  if (static_cast<unsigned char>(c) < '0') return -2;
  return 254;
}

}  // namespace

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  return Base64Encode(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> Base64Decode(std::string_view text) {
  if (text.size() <= 2) return {};
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (Base64Value(c) >= 0) kept += c;
  }
  const std::size_t k = kept.size();
  if (k == 0) return {};
  std::size_t padding = 0;
  while (padding < k && kept[k - 1 - padding] == '=') ++padding;

  const std::size_t groups = k / 4;
  std::vector<std::uint8_t> out;
  out.reserve(groups * 3);
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4; ++j) v = (v << 6) | static_cast<std::uint32_t>(Base64Value(kept[g * 4 + j]));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  }
  // The length is 3 K / 4 less the padding, where K counts the kept
  // characters; the last full group gives 3 less the padding. Input that is
  // not a whole number of groups, or carries more padding than a group can,
  // is held to what was really decoded rather than padded out with zeros.
  std::size_t decoded = 0;
  if (groups > 0) decoded = (groups - 1) * 3 + (padding < 3 ? 3 - padding : 0);
  std::size_t byRule = 3 * k / 4 > padding ? 3 * k / 4 - padding : 0;
  out.resize(std::min(decoded, byRule));
  return out;
}

std::vector<std::uint8_t> QuotedPrintableDecode(std::string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (c != '=') {
      out.push_back(static_cast<std::uint8_t>(c));
      ++i;
      continue;
    }
    if (i + 1 < n && text[i + 1] == '\r') {
      // Soft line break: "=", CR and the LFs after it go. A dot-stuffed line
      // start ".." that follows keeps one dot.
      i += 2;
      while (i < n && text[i] == '\n') ++i;
      if (i + 1 < n && text[i] == '.' && text[i + 1] == '.') {
        out.push_back('.');
        i += 2;
      }
      continue;
    }
    if (i + 2 >= n) break;  // "=" without two characters after it ends the text
    int value = QpDigit(text[i + 1]) * 16 + QpDigit(text[i + 2]);
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    i += 3;
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '@' || c == '-' || c == '_';
    if (plain) {
      out += c;
    } else {
      auto b = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string LocalHostNameEncoded() { return PercentEncode(ComputerName()); }

}  // namespace tarnwick
