// The server side of an NTLM exchange for tests: a challenge that makes the
// client answer with NTLMv2, and the check of that answer against the
// plaintext password, as the server's domain controller would.
#pragma once

#include "mailclient/Auth.h"

#include <array>
#include <cstdint>
#include <string>

namespace tarnwick::test {

// A type 2 message: target domain, target information with the domain, the
// server's name "FRONT" and its time.
auth::Bytes NtlmChallengeMessage(const std::array<std::uint8_t, 8>& serverChallenge, const std::string& domain);

// Checks a type 3 message: user and domain (as sent in UTF-16 when
// exact_names, else also without regard to ASCII case or in OEM bytes) and
// the NTLMv2 proof. False with why set when it does not hold.
bool NtlmAnswerMatches(const auth::Bytes& token, const std::string& user, const std::string& domain,
                       const std::string& password, const std::array<std::uint8_t, 8>& serverChallenge,
                       bool exact_names, std::string& why);

}  // namespace tarnwick::test
