// Byte encodings shared by the protocols and the delivery step: Base64,
// quoted-printable decoding and the percent encoding of a host name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Base64 with the standard alphabet and "=" padding, no line breaks. Empty
// input gives an empty text.
std::string Base64Encode(std::span<const std::uint8_t> bytes);
std::string Base64Encode(std::string_view bytes);

// Decodes Base64. Every character outside the alphabet and "=" (line breaks,
// blanks) is skipped; characters after the last full group of four are
// ignored. A text of two characters or fewer, or one with no Base64
// character, gives an empty result.
std::vector<std::uint8_t> Base64Decode(std::string_view text);

// Decodes quoted-printable: "=" and two hexadecimal digits give one byte,
// "=" before CR is a soft line break, an "=" without two characters after it
// ends the decoding. All other bytes are copied.
std::vector<std::uint8_t> QuotedPrintableDecode(std::string_view text);

// Copies "A"-"Z", "a"-"z", "0"-"9", ".", "@", "-" and "_" and writes every
// other byte as "%" and two lower-case hexadecimal digits.
std::string PercentEncode(std::string_view text);

// This computer's name, percent-encoded, as written into Received headers.
std::string LocalHostNameEncoded();

}  // namespace tarnwick
