#include "oauth/TokenClient.h"

#include "oauth/Assertion.h"
#include "platform/HttpClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace tarnwick::oauth {

namespace {

constexpr const char* kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
constexpr const char* kDeviceGrant = "urn:ietf:params:oauth:grant-type:device_code";
// Replies of identity providers are small; anything larger is not one.
constexpr std::size_t kMaxReply = 1u << 20;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string StringField(const nlohmann::json& j, const char* name) {
  auto it = j.find(name);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A number of seconds, sent as a JSON number or (by some providers) as a
// decimal string. Negative and unreadable values count as absent.
int64_t SecondsField(const nlohmann::json& j, const char* name) {
  auto it = j.find(name);
  if (it == j.end()) return 0;
  if (it->is_number_integer()) return std::max<int64_t>(it->get<int64_t>(), 0);
  if (it->is_number_float()) {
    double d = it->get<double>();
    return d > 0 && d < 1e12 ? static_cast<int64_t>(d) : 0;
  }
  if (it->is_string()) {
    const std::string& s = it->get_ref<const std::string&>();
    int64_t v = 0;
    if (s.empty() || s.size() > 12) return 0;
    for (char c : s) {
      if (c < '0' || c > '9') return 0;
      v = v * 10 + (c - '0');
    }
    return v;
  }
  return 0;
}

bool ParseObject(int status, std::string_view body, nlohmann::json& j, std::string& why) {
  j = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    why = "the identity provider answered HTTP " + std::to_string(status) + " without a JSON object";
    return false;
  }
  return true;
}

// "invalid_grant: AADSTS70000: ..." from a refusal, with the status.
std::string Refusal(int status, const TokenReply& r) {
  std::string text = "the identity provider refused the request (HTTP " + std::to_string(status) + "): " + r.error;
  if (!r.errorDescription.empty()) text += ": " + r.errorDescription;
  return text;
}

}  // namespace

Grant ParseGrant(std::string_view text) {
  if (EqualNoCase(text, "refresh_token")) return Grant::RefreshToken;
  if (EqualNoCase(text, "device_code")) return Grant::DeviceCode;
  return Grant::ClientCredentials;
}

const char* GrantName(Grant grant) {
  switch (grant) {
    case Grant::RefreshToken: return "refresh_token";
    case Grant::DeviceCode: return "device_code";
    default: return "client_credentials";
  }
}

std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
  static const char hex[] = "0123456789ABCDEF";
  auto encode = [](std::string& out, std::string_view s) {
    for (unsigned char c : s) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
        out += static_cast<char>(c);
      } else if (c == ' ') {
        out += '+';
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
  };
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    encode(out, name);
    out += '=';
    encode(out, value);
  }
  return out;
}

Settings SettingsFromBlock(const ConfigBlock& account) {
  Settings o;
  auto text = [&](std::string_view key, std::string& out) {
    if (const ConfigEntry* e = account.Entry(key)) out = e->value;
  };
  text("OAuth2TokenUrl", o.tokenUrl);
  if (const ConfigEntry* e = account.Entry("OAuth2Grant")) o.grant = ParseGrant(e->value);
  text("OAuth2ClientId", o.clientId);
  text("OAuth2ClientSecret", o.clientSecret);
  text("OAuth2Scope", o.scope);
  text("OAuth2KeyFile", o.keyFile);
  text("OAuth2CertificateFile", o.certificateFile);
  text("OAuth2DeviceUrl", o.deviceUrl);
  text("OAuth2CaFile", o.caFile);
  text("OAuth2RefreshToken", o.refreshToken);
  return o;
}

bool ParseTokenReply(int status, std::string_view body, TokenReply& reply, std::string& why) {
  reply = TokenReply{};
  nlohmann::json j;
  if (!ParseObject(status, body, j, why)) return false;
  reply.error = StringField(j, "error");
  reply.errorDescription = StringField(j, "error_description");
  if (status == 200 && reply.error.empty()) {
    reply.accessToken = StringField(j, "access_token");
    if (reply.accessToken.empty()) {
      why = "the identity provider's reply holds no access token";
      return false;
    }
    std::string type = StringField(j, "token_type");
    if (!type.empty() && !EqualNoCase(type, "bearer")) {
      why = "the identity provider issued a token of type " + type + ", not a bearer token";
      reply.accessToken.clear();
      return false;
    }
    reply.refreshToken = StringField(j, "refresh_token");
    reply.expiresIn = SecondsField(j, "expires_in");
    return true;
  }
  if (reply.error.empty()) {
    why = "the identity provider answered HTTP " + std::to_string(status) + " without an error code";
    return false;
  }
  why = Refusal(status, reply);
  return false;
}

bool ParseDeviceAuthorization(int status, std::string_view body, DeviceAuthorization& out,
                              std::string& why) {
  out = DeviceAuthorization{};
  nlohmann::json j;
  if (!ParseObject(status, body, j, why)) return false;
  if (status != 200) {
    TokenReply r;
    r.error = StringField(j, "error");
    r.errorDescription = StringField(j, "error_description");
    why = Refusal(status, r);
    return false;
  }
  out.deviceCode = StringField(j, "device_code");
  out.userCode = StringField(j, "user_code");
  out.verificationUri = StringField(j, "verification_uri");
  // An older name of the field, still sent by some providers.
  if (out.verificationUri.empty()) out.verificationUri = StringField(j, "verification_url");
  out.verificationUriComplete = StringField(j, "verification_uri_complete");
  out.expiresIn = SecondsField(j, "expires_in");
  if (int64_t i = SecondsField(j, "interval")) out.interval = i;
  if (out.deviceCode.empty() || out.userCode.empty() || out.verificationUri.empty() || out.expiresIn == 0) {
    why = "the device authorization reply lacks device_code, user_code, verification_uri or expires_in";
    return false;
  }
  return true;
}

TokenClient::TokenClient(const Settings& settings, Clock& clock)
    : settings_(settings), clock_(clock), http_(std::make_unique<HttpClient>()) {}

TokenClient::~TokenClient() = default;

bool TokenClient::Post(const std::string& url, std::vector<std::pair<std::string, std::string>> fields,
                       bool authenticate, int& status, std::string& body, std::string& why) {
  if (authenticate) {
    // The client proves itself with a signed assertion when it has a key,
    // else with its secret (when it has one: a public client has none).
    if (!settings_.keyFile.empty()) {
      std::string assertion, error;
      if (!SignedAssertion(settings_.keyFile, settings_.certificateFile, settings_.clientId,
                           settings_.tokenUrl, clock_.NowSeconds(), assertion, error)) {
        why = error;
        return false;
      }
      fields.emplace_back("client_assertion_type", kAssertionType);
      fields.emplace_back("client_assertion", std::move(assertion));
    } else if (!settings_.clientSecret.empty()) {
      fields.emplace_back("client_secret", settings_.clientSecret);
    }
  }
  std::string form = FormEncode(fields);
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
  request.body = form;
  request.has_body = true;
  request.verify_peer = true;
  request.ca_file = settings_.caFile;
  request.max_reply_bytes = kMaxReply;
  HttpResponse response;
  if (!http_->Perform(request, response)) {
    why = "the identity provider at " + url + " cannot be reached: " + http_->error_text();
    return false;
  }
  status = response.status;
  body = std::move(response.body);
  return true;
}

bool TokenClient::TokenRequest(std::vector<std::pair<std::string, std::string>> fields, TokenReply& reply,
                               std::string& why) {
  int status = 0;
  std::string body;
  fields.emplace_back("client_id", settings_.clientId);
  if (!settings_.scope.empty()) fields.emplace_back("scope", settings_.scope);
  if (!Post(settings_.tokenUrl, std::move(fields), true, status, body, why)) return false;
  return ParseTokenReply(status, body, reply, why);
}

bool TokenClient::ClientCredentials(TokenReply& reply, std::string& why) {
  return TokenRequest({{"grant_type", "client_credentials"}}, reply, why);
}

bool TokenClient::Refresh(std::string_view refreshToken, TokenReply& reply, std::string& why) {
  return TokenRequest({{"grant_type", "refresh_token"}, {"refresh_token", std::string(refreshToken)}}, reply,
                      why);
}

bool TokenClient::StartDevice(DeviceAuthorization& device, std::string& why) {
  if (settings_.deviceUrl.empty()) {
    why = "the account has no device authorization address (OAuth2DeviceUrl)";
    return false;
  }
  std::vector<std::pair<std::string, std::string>> fields = {{"client_id", settings_.clientId}};
  if (!settings_.scope.empty()) fields.emplace_back("scope", settings_.scope);
  int status = 0;
  std::string body;
  if (!Post(settings_.deviceUrl, std::move(fields), false, status, body, why)) return false;
  return ParseDeviceAuthorization(status, body, device, why);
}

bool TokenClient::PollDevice(const DeviceAuthorization& device, TokenReply& reply, std::string& why) {
  const int64_t deadline = clock_.NowMs() + device.expiresIn * 1000;
  int64_t interval = std::max<int64_t>(device.interval, 1);
  for (;;) {
    clock_.SleepMs(interval * 1000);
    if (TokenRequest({{"grant_type", kDeviceGrant}, {"device_code", device.deviceCode}}, reply, why)) return true;
    if (reply.error == "authorization_pending") {
      // The person has not finished yet.
    } else if (reply.error == "slow_down") {
      interval += 5;
    } else {
      // expired_token, access_denied, or anything else: the sign-in is over.
      return false;
    }
    if (clock_.NowMs() + interval * 1000 > deadline) {
      why = "the sign-in code expired before the sign-in was finished";
      return false;
    }
  }
}

bool SignIn(const Settings& settings, Clock& clock, const std::function<void(const SignInPrompt&)>& show,
            TokenReply& reply, std::string& why) {
  TokenClient client(settings, clock);
  DeviceAuthorization device;
  if (!client.StartDevice(device, why)) return false;
  if (show) show(SignInPrompt{device.userCode, device.verificationUri, device.verificationUriComplete,
                              device.expiresIn});
  if (!client.PollDevice(device, reply, why)) return false;
  if (reply.refreshToken.empty()) {
    why = "the identity provider signed in without a refresh token (is offline_access in the scope?)";
    return false;
  }
  return true;
}

}  // namespace tarnwick::oauth
