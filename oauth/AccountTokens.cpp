#include "oauth/AccountTokens.h"

#include "oauth/Assertion.h"
#include "platform/Files.h"

#include <nlohmann/json.hpp>

namespace tarnwick::oauth {

namespace {

constexpr std::size_t kMaxCacheBytes = 1u << 20;

}  // namespace

bool LoadCachedToken(const std::string& path, CachedToken& out) {
  std::string text;
  if (ReadFilePrefix(path, kMaxCacheBytes, text) != 0) return false;
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  auto str = [&](const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  out = CachedToken{};
  out.accessToken = str("access_token");
  out.refreshToken = str("refresh_token");
  out.origin = str("origin");
  out.tokenUrl = str("token_url");
  out.clientId = str("client_id");
  if (auto it = j.find("expires_at"); it != j.end() && it->is_number_integer()) out.expiresAt = it->get<int64_t>();
  return true;
}

int SaveCachedToken(const std::string& path, const CachedToken& t) {
  nlohmann::json j = {{"access_token", t.accessToken}, {"expires_at", t.expiresAt},
                      {"refresh_token", t.refreshToken}, {"origin", t.origin},
                      {"token_url", t.tokenUrl}, {"client_id", t.clientId}};
  return ReplaceFileAtomic(path, j.dump(1) + "\n");
}

AccountTokens::AccountTokens(Settings settings, std::string workFolder, Clock& clock)
    : settings_(std::move(settings)),
      path_(workFolder.empty() ? std::string() : JoinPath(workFolder, kTokenCacheName)),
      clock_(clock) {}

bool AccountTokens::Get(bool renew, std::string& token, std::string& why, std::string& note) {
  if (!loaded_) {
    loaded_ = true;
    CachedToken c;
    // A cache made for another endpoint or client is of no use.
    if (!path_.empty() && LoadCachedToken(path_, c) && c.tokenUrl == settings_.tokenUrl &&
        c.clientId == settings_.clientId)
      cache_ = std::move(c);
  }
  if (renew) {
    if (renewed_) {
      why = "the mail server refused the renewed access token too";
      return false;
    }
    renewed_ = true;
    cache_.accessToken.clear();
  } else if (!cache_.accessToken.empty() &&
             (cache_.expiresAt == 0 || cache_.expiresAt - kRenewAheadSeconds > clock_.NowSeconds())) {
    token = cache_.accessToken;
    note = "OAuth2: access token from the cache\r\n";
    return true;
  }
  if (!Fetch(why, note)) return false;
  token = cache_.accessToken;
  return true;
}

bool AccountTokens::Fetch(std::string& why, std::string& note) {
  TokenClient client(settings_, clock_);
  TokenReply reply;
  const int64_t asked = clock_.NowSeconds();
  if (settings_.grant == Grant::ClientCredentials) {
    if (!client.ClientCredentials(reply, why)) return false;
    note = "OAuth2: access token fetched (client_credentials)\r\n";
  } else {
    // The configured refresh token starts a chain; the provider may rotate
    // it with every use, and the cache keeps the latest of that chain.
    const std::string origin = settings_.refreshToken.empty() ? std::string() : Sha256Hex(settings_.refreshToken);
    std::string refresh;
    if (!cache_.refreshToken.empty() && cache_.origin == origin) refresh = cache_.refreshToken;
    else refresh = settings_.refreshToken;
    if (refresh.empty()) {
      why = "the account has no refresh token; sign it in first";
      return false;
    }
    if (!client.Refresh(refresh, reply, why)) return false;
    cache_.origin = origin;
    cache_.refreshToken = reply.refreshToken.empty() ? refresh : reply.refreshToken;
    note = std::string("OAuth2: access token fetched (refresh_token") +
           (reply.refreshToken.empty() || reply.refreshToken == refresh ? ")\r\n" : ", refresh token rotated)\r\n");
  }
  cache_.accessToken = reply.accessToken;
  cache_.expiresAt = reply.expiresIn > 0 ? asked + reply.expiresIn : 0;
  cache_.tokenUrl = settings_.tokenUrl;
  cache_.clientId = settings_.clientId;
  if (!path_.empty()) {
    if (int e = SaveCachedToken(path_, cache_)) {
      // The token works for this run; a lost rotated refresh token would not
      // work for the next, so say so plainly.
      note += "OAuth2: the token cache " + path_ + " cannot be written (error " + std::to_string(e) + ")\r\n";
    }
  }
  return true;
}

}  // namespace tarnwick::oauth
