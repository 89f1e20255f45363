#include "tests/support/NtlmServer.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tarnwick::test {

namespace {

auth::Bytes Le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }

void Append(auth::Bytes& out, const auth::Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

auth::Bytes AvPair(std::uint16_t id, const auth::Bytes& value) {
  auth::Bytes p = Le16(id);
  Append(p, Le16(static_cast<std::uint16_t>(value.size())));
  Append(p, value);
  return p;
}

bool SameName(const auth::Bytes& sent, const std::string& want) {
  auto upper = [](auth::Bytes b) {
    for (auto& c : b) c = static_cast<std::uint8_t>(std::toupper(c));
    return b;
  };
  return upper(sent) == upper(auth::Utf16Le(want)) || upper(sent) == upper(auth::Bytes(want.begin(), want.end()));
}

}  // namespace

auth::Bytes NtlmChallengeMessage(const std::array<std::uint8_t, 8>& serverChallenge, const std::string& domain) {
  auth::Bytes info;
  Append(info, AvPair(2, auth::Utf16Le(domain)));
  Append(info, AvPair(1, auth::Utf16Le("FRONT")));
  Append(info, AvPair(7, {0x00, 0x80, 0x3e, 0xd5, 0xde, 0xb1, 0x9d, 0x01}));
  Append(info, AvPair(0, {}));
  auth::Bytes target = auth::Utf16Le(domain);
  std::uint32_t flags = auth::ntlm::kUnicode | auth::ntlm::kRequestTarget | auth::ntlm::kNtlm |
                        auth::ntlm::kExtendedSessionSecurity | auth::ntlm::kTargetInfo;
  auth::Bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2, 0, 0, 0};
  auto field = [&](const auth::Bytes& data, std::uint32_t offset) {
    Append(m, Le16(static_cast<std::uint16_t>(data.size())));
    Append(m, Le16(static_cast<std::uint16_t>(data.size())));
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
  };
  field(target, 48);
  for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(flags >> (8 * i)));
  m.insert(m.end(), serverChallenge.begin(), serverChallenge.end());
  m.insert(m.end(), 8, 0);
  field(info, static_cast<std::uint32_t>(48 + target.size()));
  Append(m, target);
  Append(m, info);
  return m;
}

bool NtlmAnswerMatches(const auth::Bytes& token, const std::string& user, const std::string& domain,
                       const std::string& password, const std::array<std::uint8_t, 8>& serverChallenge,
                       bool exact_names, std::string& why) {
  auth::NtlmAuthenticateFields f;
  if (!auth::ParseNtlmAuthenticate(token, f, why)) return false;
  bool same = exact_names ? f.user == auth::Utf16Le(user) && f.domain == auth::Utf16Le(domain)
                          : SameName(f.user, user) && SameName(f.domain, domain);
  if (!same) {
    why = "wrong identity";
    return false;
  }
  if (f.ntResponse.size() < 16 + 28) {
    why = "short NTLMv2 response";
    return false;
  }
  auth::Digest16 hash = auth::NtlmV2Hash(user, domain, password);
  std::vector<std::uint8_t> blob(f.ntResponse.begin() + 16, f.ntResponse.end());
  auth::Digest16 proof = auth::NtlmV2Proof(hash, serverChallenge, blob);
  if (!std::equal(proof.begin(), proof.end(), f.ntResponse.begin())) {
    why = "wrong proof";
    return false;
  }
  return true;
}

}  // namespace tarnwick::test
