#include "mailclient/Auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <locale.h>
#include <wctype.h>

#include <chrono>
#include <cstring>

#include "message/Encoding.h"

namespace tarnwick::auth {

namespace {

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void PutLe16(Bytes& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t GetLe16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t GetLe32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

constexpr std::uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

// Reads a security buffer descriptor (length, allocated, offset) and checks
// that it lies inside the token.
bool ReadField(std::span<const std::uint8_t> token, std::size_t at, Bytes& out) {
  std::uint16_t len = GetLe16(token, at);
  std::uint32_t offset = GetLe32(token, at + 4);
  if (len == 0) {
    out.clear();
    return true;
  }
  if (offset > token.size() || len > token.size() - offset) return false;
  out.assign(token.begin() + offset, token.begin() + offset + len);
  return true;
}

// Upper case of one UTF-16 code unit as the NTLM password hash expects it
// for the user name: the simple (one character to one character) Unicode
// upper-case mapping, for every script. The mapping comes from the C
// library's built-in C.UTF-8 character data through a locale object of its
// own, so the process's locale settings play no part. Surrogate halves and
// characters without a one-unit upper case stay as they are.
std::uint16_t UpperUnit(std::uint16_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z' ? static_cast<std::uint16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (!unicode) {
    // Without the character data only Latin-1 letters can be mapped.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<std::uint16_t>(c - 32);
    if (c == 0xFF) return 0x178;
    return c;
  }
  const wint_t u = towupper_l(static_cast<wint_t>(c), unicode);
  return u > 0xFFFF || (u >= 0xD800 && u <= 0xDFFF) ? c : static_cast<std::uint16_t>(u);
}

Bytes UpperUtf16Le(std::string_view text) {
  Bytes b = Utf16Le(text);
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
    std::uint16_t u = UpperUnit(static_cast<std::uint16_t>(b[i] | (b[i + 1] << 8)));
    b[i] = static_cast<std::uint8_t>(u);
    b[i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  return b;
}

// --- MD4 (RFC 1320) ---------------------------------------------------------

std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Md4Block(std::uint32_t state[4], const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = GetLe32({block, 64}, static_cast<std::size_t>(i) * 4);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto f = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); };
  auto g = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (x & z) | (y & z);
  };
  auto h = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; };
  static constexpr int kS1[4] = {3, 7, 11, 19};
  static constexpr int kS2[4] = {3, 5, 9, 13};
  static constexpr int kS3[4] = {3, 9, 11, 15};
  static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  // Each round updates a, d, c, b in turn; the step for r[i] mixes the
  // other three in the order r[i+3], r[i+2], r[i+1].
  std::uint32_t* r[4] = {&a, &d, &c, &b};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& v = *r[i % 4];
    std::uint32_t& p = *r[(i + 3) % 4];
    std::uint32_t& q = *r[(i + 2) % 4];
    std::uint32_t& s = *r[(i + 1) % 4];
    v = Rotl(v + f(p, q, s) + x[i], kS1[i % 4]);
  }
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& v = *r[i % 4];
    std::uint32_t& p = *r[(i + 3) % 4];
    std::uint32_t& q = *r[(i + 2) % 4];
    std::uint32_t& s = *r[(i + 1) % 4];
    int k = (i % 4) * 4 + i / 4;
    v = Rotl(v + g(p, q, s) + x[k] + 0x5A827999u, kS2[i % 4]);
  }
  for (int i = 0; i < 16; ++i) {
    std::uint32_t& v = *r[i % 4];
    std::uint32_t& p = *r[(i + 3) % 4];
    std::uint32_t& q = *r[(i + 2) % 4];
    std::uint32_t& s = *r[(i + 1) % 4];
    v = Rotl(v + h(p, q, s) + x[kOrder3[i]] + 0x6ED9EBA1u, kS3[i % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

Digest16 Md5(std::span<const std::uint8_t> data) {
  Digest16 out{};
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr);
  return out;
}

Digest16 Md5(std::string_view data) { return Md5(AsBytes(data)); }

Digest16 Md4(std::span<const std::uint8_t> data) {
  std::uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  std::size_t full = data.size() / 64 * 64;
  for (std::size_t i = 0; i < full; i += 64) Md4Block(state, data.data() + i);
  // Padding: 0x80, zeros, then the bit length in 64 bits, little-endian.
  std::uint8_t tail[128] = {};
  std::size_t rest = data.size() - full;
  if (rest) std::memcpy(tail, data.data() + full, rest);
  tail[rest] = 0x80;
  std::size_t tailLen = rest < 56 ? 64 : 128;
  std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLen - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  for (std::size_t i = 0; i < tailLen; i += 64) Md4Block(state, tail + i);
  Digest16 out{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<std::uint8_t>(state[i] >> (8 * j));
  return out;
}

Digest16 HmacMd5(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
  Digest16 out{};
  std::size_t len = 0;
  // An empty key still needs a valid pointer.
  static const std::uint8_t kEmpty = 0;
  EVP_Q_mac(nullptr, "HMAC", nullptr, "MD5", nullptr, key.empty() ? &kEmpty : key.data(),
            key.size(), message.data(), message.size(), out.data(), out.size(), &len);
  return out;
}

Digest16 HmacMd5(std::string_view key, std::string_view message) {
  return HmacMd5(AsBytes(key), AsBytes(message));
}

std::string LowerHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string ApopTimestamp(std::string_view greeting) {
  auto open = greeting.find('<');
  if (open == std::string_view::npos) return {};
  auto close = greeting.find('>', open);
  if (close == std::string_view::npos) return {};
  return std::string(greeting.substr(open, close - open + 1));
}

std::optional<std::string> ApopDigest(std::string_view greeting, std::string_view password) {
  std::string stamp = ApopTimestamp(greeting);
  if (stamp.empty()) return std::nullopt;
  return LowerHex(Md5(stamp + std::string(password)));
}

std::string CramMd5Response(std::string_view user, std::string_view password,
                            std::span<const std::uint8_t> challenge) {
  std::string text(user);
  text += ' ';
  text += LowerHex(HmacMd5(AsBytes(password), challenge));
  return Base64Encode(text);
}

Bytes Utf16Le(std::string_view text) {
  Bytes out;
  out.reserve(text.size() * 2);
  auto put = [&](std::uint32_t u) {
    out.push_back(static_cast<std::uint8_t>(u));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  };
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<std::uint8_t>(text[i]);
    std::size_t extra = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    std::uint32_t cp = extra == 3 ? c & 0x07u : extra == 2 ? c & 0x0Fu : c & 0x1Fu;
    bool valid = extra > 0 && i + extra < text.size();
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      auto n = static_cast<std::uint8_t>(text[i + k]);
      if ((n & 0xC0) != 0x80) valid = false;
      else cp = (cp << 6) | (n & 0x3Fu);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if (valid && ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                  (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
      valid = false;
    if (c < 0x80) {
      put(c);
      ++i;
    } else if (!valid) {
      put(c);  // a stray byte stands for itself
      ++i;
    } else {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        put(0xD800 + (cp >> 10));
        put(0xDC00 + (cp & 0x3FF));
      } else {
        put(cp);
      }
      i += extra + 1;
    }
  }
  return out;
}

NtlmIdentity SplitNtlmUser(std::string_view name, std::string_view password) {
  NtlmIdentity id;
  id.password = password;
  auto sep = name.find_first_of("\\/");
  if (sep != std::string_view::npos) {
    id.domain = name.substr(0, sep);
    id.user = name.substr(sep + 1);
  } else if (auto at = name.find('@'); at != std::string_view::npos) {
    id.user = name.substr(0, at);
    id.domain = name.substr(at + 1);
  } else {
    id.user = name;
  }
  return id;
}

Bytes NtlmNegotiate() {
  Bytes m(32, 0);
  std::memcpy(m.data(), kSignature, 8);
  PutLe32(m, 8, 1);
  PutLe32(m, 12, ntlm::kClientFlags);
  // Empty domain and workstation fields point at the end of the message.
  PutLe32(m, 20, 32);
  PutLe32(m, 28, 32);
  return m;
}

bool ParseNtlmChallenge(std::span<const std::uint8_t> token, NtlmChallenge& out,
                        std::string& error) {
  if (token.size() < 32 || std::memcmp(token.data(), kSignature, 8) != 0) {
    error = "not an NTLM message";
    return false;
  }
  if (GetLe32(token, 8) != 2) {
    error = "not an NTLM challenge";
    return false;
  }
  out.flags = GetLe32(token, 20);
  std::memcpy(out.serverChallenge.data(), token.data() + 24, 8);
  out.targetInfo.clear();
  if (token.size() >= 48 && (out.flags & ntlm::kTargetInfo)) {
    if (!ReadField(token, 40, out.targetInfo)) {
      error = "NTLM challenge with target information outside the message";
      return false;
    }
  }
  // The pairs must be well formed up to their end-of-list pair; without one
  // (or without any), an end-of-list pair is supplied.
  std::size_t at = 0;
  bool ended = false;
  while (at + 4 <= out.targetInfo.size()) {
    std::uint16_t id = GetLe16(out.targetInfo, at);
    std::uint16_t len = GetLe16(out.targetInfo, at + 2);
    if (id == 0) {
      out.targetInfo.resize(at + 4);
      ended = true;
      break;
    }
    if (len > out.targetInfo.size() - at - 4) {
      error = "NTLM challenge with malformed target information";
      return false;
    }
    at += 4 + len;
  }
  if (!ended) {
    out.targetInfo.resize(at);
    out.targetInfo.insert(out.targetInfo.end(), 4, 0);
  }
  return true;
}

std::optional<std::uint64_t> NtlmTargetTime(std::span<const std::uint8_t> targetInfo) {
  std::size_t at = 0;
  while (at + 4 <= targetInfo.size()) {
    std::uint16_t id = GetLe16(targetInfo, at);
    std::uint16_t len = GetLe16(targetInfo, at + 2);
    if (id == 0 || len > targetInfo.size() - at - 4) break;
    if (id == ntlm::kAvTimestamp && len == 8)
      return static_cast<std::uint64_t>(GetLe32(targetInfo, at + 4)) |
             (static_cast<std::uint64_t>(GetLe32(targetInfo, at + 8)) << 32);
    at += 4 + len;
  }
  return std::nullopt;
}

Digest16 NtlmV2Hash(std::string_view user, std::string_view domain, std::string_view password) {
  Digest16 ntHash = Md4(Utf16Le(password));
  Bytes who = UpperUtf16Le(user);
  Bytes dom = Utf16Le(domain);
  who.insert(who.end(), dom.begin(), dom.end());
  return HmacMd5(ntHash, who);
}

Bytes NtlmV2Blob(std::uint64_t time, std::span<const std::uint8_t, 8> clientChallenge,
                 std::span<const std::uint8_t> targetInfo) {
  Bytes blob(28, 0);
  blob[0] = 1;  // response version
  blob[1] = 1;  // highest response version
  PutLe32(blob, 8, static_cast<std::uint32_t>(time));
  PutLe32(blob, 12, static_cast<std::uint32_t>(time >> 32));
  std::memcpy(blob.data() + 16, clientChallenge.data(), 8);
  blob.insert(blob.end(), targetInfo.begin(), targetInfo.end());
  blob.insert(blob.end(), 4, 0);
  return blob;
}

Digest16 NtlmV2Proof(const Digest16& hash, std::span<const std::uint8_t, 8> serverChallenge,
                     std::span<const std::uint8_t> blob) {
  Bytes msg(serverChallenge.begin(), serverChallenge.end());
  msg.insert(msg.end(), blob.begin(), blob.end());
  return HmacMd5(hash, msg);
}

Bytes NtlmAuthenticate(const NtlmChallenge& challenge, const NtlmIdentity& identity,
                       std::string_view workstation,
                       std::span<const std::uint8_t, 8> clientChallenge, std::uint64_t time) {
  Digest16 hash = NtlmV2Hash(identity.user, identity.domain, identity.password);
  std::optional<std::uint64_t> serverTime = NtlmTargetTime(challenge.targetInfo);
  Bytes blob = NtlmV2Blob(serverTime.value_or(time), clientChallenge, challenge.targetInfo);
  Digest16 proof = NtlmV2Proof(hash, challenge.serverChallenge, blob);
  Bytes nt(proof.begin(), proof.end());
  nt.insert(nt.end(), blob.begin(), blob.end());

  // LMv2: HMAC-MD5(hash, server challenge + client challenge) + client
  // challenge; zeros when the server gave its time.
  Bytes lm(24, 0);
  if (!serverTime) {
    Bytes msg(challenge.serverChallenge.begin(), challenge.serverChallenge.end());
    msg.insert(msg.end(), clientChallenge.begin(), clientChallenge.end());
    Digest16 l = HmacMd5(hash, msg);
    std::memcpy(lm.data(), l.data(), 16);
    std::memcpy(lm.data() + 16, clientChallenge.data(), 8);
  }

  bool unicode = (challenge.flags & ntlm::kUnicode) != 0;
  auto text = [&](std::string_view s) {
    return unicode ? Utf16Le(s) : Bytes(s.begin(), s.end());
  };
  Bytes domain = text(identity.domain);
  Bytes user = text(identity.user);
  Bytes host = text(workstation);

  std::uint32_t flags = (challenge.flags & ntlm::kClientFlags) | ntlm::kNtlm;
  flags &= unicode ? ~ntlm::kOem : ~ntlm::kUnicode;
  if (!challenge.targetInfo.empty()) flags |= ntlm::kTargetInfo;

  Bytes m(64, 0);
  std::memcpy(m.data(), kSignature, 8);
  PutLe32(m, 8, 3);
  auto field = [&](std::size_t at, const Bytes& data) {
    PutLe16(m, at, static_cast<std::uint16_t>(data.size()));
    PutLe16(m, at + 2, static_cast<std::uint16_t>(data.size()));
    PutLe32(m, at + 4, static_cast<std::uint32_t>(m.size()));
    m.insert(m.end(), data.begin(), data.end());
  };
  field(12, lm);
  field(20, nt);
  field(28, domain);
  field(36, user);
  field(44, host);
  field(52, Bytes());  // no session key exchange
  PutLe32(m, 60, flags);
  return m;
}

Bytes NtlmAuthenticate(const NtlmChallenge& challenge, const NtlmIdentity& identity,
                       std::string_view workstation) {
  std::array<std::uint8_t, 8> client{};
  if (RAND_bytes(client.data(), static_cast<int>(client.size())) != 1) {
    // Without the generator a clock-derived challenge still differs per login.
    auto t = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < 8; ++i) client[i] = static_cast<std::uint8_t>(t >> (8 * i));
  }
  // FILETIME: 100-nanosecond steps since 1601-01-01.
  auto unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count() / 100;
  std::uint64_t time = static_cast<std::uint64_t>(unix100ns) + 116444736000000000ull;
  return NtlmAuthenticate(challenge, identity, workstation, client, time);
}

bool ParseNtlmAuthenticate(std::span<const std::uint8_t> token, NtlmAuthenticateFields& out,
                           std::string& error) {
  if (token.size() < 64 || std::memcmp(token.data(), kSignature, 8) != 0 ||
      GetLe32(token, 8) != 3) {
    error = "not an NTLM authenticate message";
    return false;
  }
  if (!ReadField(token, 12, out.lmResponse) || !ReadField(token, 20, out.ntResponse) ||
      !ReadField(token, 28, out.domain) || !ReadField(token, 36, out.user) ||
      !ReadField(token, 44, out.workstation)) {
    error = "NTLM authenticate message with a field outside the message";
    return false;
  }
  out.flags = GetLe32(token, 60);
  return true;
}

}  // namespace tarnwick::auth
