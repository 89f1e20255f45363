// The login mechanisms' arithmetic, without I/O: the APOP digest, the
// CRAM-MD5 response, and the NTLMSSP messages with an NTLMv2 response. The
// session sends and reads; these functions only turn challenges and
// credentials into the bytes that go on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::auth {

using Bytes = std::vector<std::uint8_t>;
using Digest16 = std::array<std::uint8_t, 16>;

// --- Building blocks -------------------------------------------------------

Digest16 Md5(std::span<const std::uint8_t> data);
Digest16 Md5(std::string_view data);
// MD4 (RFC 1320), kept here because the default crypto provider no longer
// offers it; NTLM's password hash needs it.
Digest16 Md4(std::span<const std::uint8_t> data);
// HMAC-MD5 (RFC 2104); a key longer than 64 bytes is hashed first.
Digest16 HmacMd5(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);
Digest16 HmacMd5(std::string_view key, std::string_view message);
// 32 lower-case hexadecimal digits.
std::string LowerHex(std::span<const std::uint8_t> bytes);

// --- APOP (POP3) ------------------------------------------------------------

// The server's timestamp in its greeting: the text from the first '<' to the
// next '>', both included. Empty when the greeting carries none.
std::string ApopTimestamp(std::string_view greeting);
// The APOP digest: 32 lower-case hex digits of MD5(timestamp + password).
// None when the greeting has no timestamp (the server does not offer APOP).
//   S: +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>
//   C: APOP mrose c4c9334bac560ecc979e58001b3e22fb
std::optional<std::string> ApopDigest(std::string_view greeting, std::string_view password);

// --- CRAM-MD5 ----------------------------------------------------------------

// The line sent in answer to the decoded challenge: base64 of the user, one
// space and 32 lower-case hex digits of HMAC-MD5(password, challenge); no
// line end.
std::string CramMd5Response(std::string_view user, std::string_view password,
                            std::span<const std::uint8_t> challenge);

// --- NTLM ----------------------------------------------------------------------

namespace ntlm {
inline constexpr std::uint32_t kUnicode = 0x00000001;
inline constexpr std::uint32_t kOem = 0x00000002;
inline constexpr std::uint32_t kRequestTarget = 0x00000004;
inline constexpr std::uint32_t kNtlm = 0x00000200;
inline constexpr std::uint32_t kAlwaysSign = 0x00008000;
inline constexpr std::uint32_t kExtendedSessionSecurity = 0x00080000;
inline constexpr std::uint32_t kTargetInfo = 0x00800000;
inline constexpr std::uint32_t k128 = 0x20000000;
inline constexpr std::uint32_t k56 = 0x80000000;
// The flags offered in the negotiate message.
inline constexpr std::uint32_t kClientFlags =
    kUnicode | kOem | kRequestTarget | kNtlm | kAlwaysSign | kExtendedSessionSecurity | k128 | k56;
// Attribute of the target information that carries the server's time.
inline constexpr std::uint16_t kAvTimestamp = 7;
}  // namespace ntlm

// The identity of an NTLM login. A user name "DOMAIN\user" or "DOMAIN/user"
// (the first backslash or slash splits) or "user@domain" (when there is no
// backslash or slash) carries the domain; otherwise the domain is empty.
struct NtlmIdentity {
  std::string user;
  std::string domain;
  std::string password;
};
NtlmIdentity SplitNtlmUser(std::string_view name, std::string_view password);

// The first token: an NTLMSSP negotiate message without domain or
// workstation.
Bytes NtlmNegotiate();

// The server's challenge message, as far as the client needs it.
struct NtlmChallenge {
  std::uint32_t flags = 0;
  std::array<std::uint8_t, 8> serverChallenge{};
  Bytes targetInfo;  // attribute/value pairs, ending with the end-of-list pair
};
// Checks and reads a challenge message. False, with a short reason, for
// anything that is not a well-formed type 2 message.
bool ParseNtlmChallenge(std::span<const std::uint8_t> token, NtlmChallenge& out,
                        std::string& error);
// The server time in the target information (FILETIME), when given.
std::optional<std::uint64_t> NtlmTargetTime(std::span<const std::uint8_t> targetInfo);

// NTOWFv2: HMAC-MD5(MD4(UTF-16LE(password)), UTF-16LE(upper(user) + domain)).
Digest16 NtlmV2Hash(std::string_view user, std::string_view domain, std::string_view password);
// The NTLMv2 "temp" blob: versions, time, client challenge, target info.
Bytes NtlmV2Blob(std::uint64_t time, std::span<const std::uint8_t, 8> clientChallenge,
                 std::span<const std::uint8_t> targetInfo);
// NTProofStr: HMAC-MD5(hash, server challenge + blob).
Digest16 NtlmV2Proof(const Digest16& hash, std::span<const std::uint8_t, 8> serverChallenge,
                     std::span<const std::uint8_t> blob);

// The third token: an authenticate message with the NTLMv2 response (and an
// LMv2 response, or 24 zero bytes when the server sent its time). time is
// the FILETIME used when the challenge carries none.
Bytes NtlmAuthenticate(const NtlmChallenge& challenge, const NtlmIdentity& identity,
                       std::string_view workstation,
                       std::span<const std::uint8_t, 8> clientChallenge, std::uint64_t time);
// The same with a random client challenge and the current time.
Bytes NtlmAuthenticate(const NtlmChallenge& challenge, const NtlmIdentity& identity,
                       std::string_view workstation);

// What a server reads from an authenticate message (for checking it).
struct NtlmAuthenticateFields {
  std::uint32_t flags = 0;
  Bytes lmResponse;
  Bytes ntResponse;
  Bytes domain;       // as sent (UTF-16LE when the Unicode flag is set)
  Bytes user;
  Bytes workstation;
};
bool ParseNtlmAuthenticate(std::span<const std::uint8_t> token, NtlmAuthenticateFields& out,
                           std::string& error);

// UTF-8 to UTF-16LE bytes; a byte that is not part of valid UTF-8 stands for
// the character of the same number (Latin-1).
Bytes Utf16Le(std::string_view text);

}  // namespace tarnwick::auth
