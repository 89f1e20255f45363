// NTLM challenge messages from the server: parse, and when accepted, build
// the answer and read it back.
#include "mailclient/Auth.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const std::uint8_t> token(data, size);
  auth::NtlmChallenge challenge;
  std::string error;
  if (!auth::ParseNtlmChallenge(token, challenge, error)) return 0;
  std::array<std::uint8_t, 8> client{};
  auth::Bytes answer =
      auth::NtlmAuthenticate(challenge, auth::SplitNtlmUser("CORP\\user", "pw"), "WS", client, 1);
  auth::NtlmAuthenticateFields fields;
  if (!auth::ParseNtlmAuthenticate(answer, fields, error)) abort();
  if (fields.ntResponse.size() != 16 + 28 + challenge.targetInfo.size() + 4) abort();
  return 0;
}
