// OAuth 2.0 token requests of a mail account: the client credentials grant
// (with a client secret or a signed client assertion), the refresh token
// grant, and the device authorization grant (RFC 8628) by which a person
// signs an account in once. Requests go to the identity provider over HTTPS
// with its certificate verified; replies are read as JSON.
//
// Nothing here writes a token, secret or assertion anywhere: callers get
// them in TokenReply and decide where they are kept.
#pragma once

#include "config/ConfigBlock.h"
#include "platform/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {
class HttpClient;
}

namespace tarnwick::oauth {

enum class Grant { ClientCredentials, RefreshToken, DeviceCode };

// "client_credentials" (also for an empty or unknown text), "refresh_token"
// or "device_code", without regard to letter case.
Grant ParseGrant(std::string_view text);
const char* GrantName(Grant grant);

// The OAuth2 keys of an account block.
struct Settings {
  std::string tokenUrl;         // "OAuth2TokenUrl"; empty: the account uses its password
  Grant grant = Grant::ClientCredentials;  // "OAuth2Grant"
  std::string clientId;         // "OAuth2ClientId"
  std::string clientSecret;     // "OAuth2ClientSecret"
  std::string scope;            // "OAuth2Scope"
  std::string keyFile;          // "OAuth2KeyFile": signed assertion instead of a secret
  std::string certificateFile;  // "OAuth2CertificateFile"
  std::string deviceUrl;        // "OAuth2DeviceUrl"
  std::string caFile;           // "OAuth2CaFile"; empty: the system's bundle
  std::string refreshToken;     // "OAuth2RefreshToken", stored by a sign-in

  bool enabled() const { return !tokenUrl.empty(); }
};

// Reads the OAuth2 keys of an account block (without inherit; a missing key
// leaves the default). The engine and the administration side share it, so
// that a sign-in started by the front end uses what the engine will use.
Settings SettingsFromBlock(const ConfigBlock& account);

// What a token endpoint answered.
struct TokenReply {
  std::string accessToken;
  std::string refreshToken;  // empty when none was sent
  int64_t expiresIn = 0;     // seconds; 0 when not given
  // A refusal: the "error" code and "error_description" text.
  std::string error;
  std::string errorDescription;
};

// application/x-www-form-urlencoded text of the fields.
std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& fields);

// Reads a token endpoint's reply. True when it carries an access token.
// Otherwise false with reply.error set for a refusal the provider explained,
// and with why describing the failure in either case.
bool ParseTokenReply(int status, std::string_view body, TokenReply& reply, std::string& why);

// The device authorization endpoint's answer.
struct DeviceAuthorization {
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::string verificationUriComplete;  // may be empty
  int64_t expiresIn = 0;                // seconds
  int64_t interval = 5;                 // seconds between polls
};
bool ParseDeviceAuthorization(int status, std::string_view body, DeviceAuthorization& out,
                              std::string& why);

class TokenClient {
 public:
  // The settings are read on every request; clock measures the device grant's
  // waits.
  TokenClient(const Settings& settings, Clock& clock);
  ~TokenClient();
  TokenClient(const TokenClient&) = delete;
  TokenClient& operator=(const TokenClient&) = delete;

  // client_credentials with the secret, or with a signed assertion when a
  // key file is set.
  bool ClientCredentials(TokenReply& reply, std::string& why);
  // refresh_token; the reply may carry the provider's next refresh token.
  bool Refresh(std::string_view refreshToken, TokenReply& reply, std::string& why);
  // Starts a device sign-in.
  bool StartDevice(DeviceAuthorization& device, std::string& why);
  // Polls the token endpoint until the person has signed in, refused, or the
  // code expired: "authorization_pending" waits the interval, "slow_down"
  // adds five seconds to it.
  bool PollDevice(const DeviceAuthorization& device, TokenReply& reply, std::string& why);

 private:
  bool Post(const std::string& url, std::vector<std::pair<std::string, std::string>> fields,
            bool authenticate, int& status, std::string& body, std::string& why);
  bool TokenRequest(std::vector<std::pair<std::string, std::string>> fields, TokenReply& reply,
                    std::string& why);

  const Settings& settings_;
  Clock& clock_;
  std::unique_ptr<HttpClient> http_;
};

// What a person is shown to sign an account in.
struct SignInPrompt {
  std::string userCode;
  std::string verificationUri;
  std::string verificationUriComplete;
  int64_t expiresIn = 0;
};

// Device sign-in as a front end runs it: starts the device authorization,
// shows the code and address through show, waits for the person, and gives
// the tokens. The refresh token in reply is what the account then keeps as
// "OAuth2RefreshToken".
bool SignIn(const Settings& settings, Clock& clock,
            const std::function<void(const SignInPrompt&)>& show, TokenReply& reply,
            std::string& why);

}  // namespace tarnwick::oauth
