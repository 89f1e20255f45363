#include "exchange/BearerAuthorization.h"

#include "mailclient/OAuthLogin.h"

#include <algorithm>
#include <string>

namespace tarnwick {

namespace {

constexpr const char* kAuthorization = "Authorization";
constexpr const char* kAnchor = "X-AnchorMailbox";

// A header value must not break the header block it goes into.
bool UsableHeaderValue(const std::string& value) {
  return !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

void SetHeader(ExchangeHttp& link, const char* name, std::string value) {
  auto it = std::find_if(link.headers.begin(), link.headers.end(), [&](const auto& h) { return h.first == name; });
  if (it != link.headers.end()) it->second = std::move(value);
  else link.headers.emplace_back(name, std::move(value));
}

bool RenewBearer(CMailClient& session, ExchangeHttp& link) {
  std::string token;
  if (!FetchBearerToken(session, true, token)) return false;
  SetHeader(link, kAuthorization, "Bearer " + token);
  return true;
}

}  // namespace

bool PrepareBearerAuthorization(CMailClient& session, ExchangeHttp& link) {
  if (!session.ServerCopy || !session.ServerCopy->OAuth2) return true;
  const std::string& mailbox = session.ServerCopy->User;
  if (!UsableHeaderValue(mailbox))
    return session.FailWith("OAuth2: the account's User must name its mailbox for the Exchange server\r\n");
  std::string token;
  if (!FetchBearerToken(session, false, token)) return false;
  SetHeader(link, kAuthorization, "Bearer " + token);
  SetHeader(link, kAnchor, mailbox);
  link.offerCredentials = false;
  link.renewAuthorization = RenewBearer;
  return true;
}

}  // namespace tarnwick
