// The access token of one account: kept in a cache file in the account's
// work folder, fetched when there is none, renewed shortly before it expires
// and once after the mail server refused it.
//
// The cache file "oauth2-token.json" (mode 0600, replaced atomically) holds
// the access token, its expiry, the provider's latest refresh token, and
// the fingerprint of the refresh token the account's settings carried when
// that one was issued: a new sign-in (a different "OAuth2RefreshToken")
// makes the cached chain obsolete.
#pragma once

#include "oauth/TokenClient.h"
#include "platform/Clock.h"

#include <cstdint>
#include <string>

namespace tarnwick::oauth {

inline constexpr const char* kTokenCacheName = "oauth2-token.json";
// A token that expires within this many seconds is renewed before use.
inline constexpr int64_t kRenewAheadSeconds = 300;

struct CachedToken {
  std::string accessToken;
  int64_t expiresAt = 0;      // seconds since 1970; 0: unknown
  std::string refreshToken;   // the provider's latest one, when any
  std::string origin;         // Sha256Hex of the configured refresh token
  std::string tokenUrl;       // the endpoint that issued it
  std::string clientId;
};

// Reads the cache file; false when it is missing or unreadable.
bool LoadCachedToken(const std::string& path, CachedToken& out);
// Replaces the cache file atomically (mode 0600). 0 or the system's error.
int SaveCachedToken(const std::string& path, const CachedToken& token);

class AccountTokens {
 public:
  // workFolder empty: nothing is cached on disk.
  AccountTokens(Settings settings, std::string workFolder, Clock& clock);

  // The access token to log in with. renew: the server refused the token
  // given before, so a new one is fetched whatever its expiry; this is done
  // once per AccountTokens, a second refusal is final. On failure why says
  // what went wrong. note receives a line for the transcript (no secrets).
  bool Get(bool renew, std::string& token, std::string& why, std::string& note);

  const std::string& cachePath() const { return path_; }

 private:
  bool Fetch(std::string& why, std::string& note);

  Settings settings_;
  std::string path_;
  Clock& clock_;
  CachedToken cache_;
  bool loaded_ = false;
  bool renewed_ = false;
};

}  // namespace tarnwick::oauth
