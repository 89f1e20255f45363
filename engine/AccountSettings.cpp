#include "engine/AccountSettings.h"

#include "platform/DurableFile.h"
#include "platform/Errors.h"
#include "oauth/AccountTokens.h"
#include "platform/AsciiText.h"
#include "platform/Files.h"

#include <memory>

#include <string_view>

namespace tarnwick {

namespace {

// Account keys are read without inherit; a key present with an empty value
// reads as 0 or as empty text.
std::optional<int32_t> Int(const ConfigBlock& b, std::string_view key) {
  const ConfigEntry* e = b.Entry(key);
  if (!e) return std::nullopt;
  return ConfigInt(e->value);
}

const std::string* Text(const ConfigBlock& b, std::string_view key) {
  const ConfigEntry* e = b.Entry(key);
  return e ? &e->value : nullptr;
}

void ReadText(const ConfigBlock& b, std::string_view key, std::string& out) {
  if (const std::string* v = Text(b, key)) out = *v;
}

bool UsableFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

void ReadOAuthSettings(const ConfigBlock& account, oauth::Settings& o, CMailServer& m) {
  o = oauth::SettingsFromBlock(account);
  if (!o.enabled()) return;
  m.OAuth2 = true;
  m.OAuth2Mechanism = OAuthXoauth2;
  if (const std::string* v = Text(account, "OAuth2Mechanism"); v && EqualsNoCase(*v, "OAUTHBEARER"))
    m.OAuth2Mechanism = OAuthBearer;
}

BearerTokenSource MakeTokenSource(const oauth::Settings& settings, const std::string& workFolder, Clock& clock) {
  auto tokens = std::make_shared<oauth::AccountTokens>(settings, workFolder, clock);
  return [tokens](bool renew, std::string& token, std::string& note) {
    std::string why;
    if (tokens->Get(renew, token, why, note)) return true;
    note = why;
    return false;
  };
}

AccountSession BuildSession(const ConfigBlock& account, const std::string& applicationFolder) {
  AccountSession s;
  s.accountName = account.name;

  if (auto v = Int(account, "LeaveCopy")) s.leaveCopy = *v > 0;

  CMailServer& m = s.server;  // starts from the defaults of CMailServer
  if (auto v = Int(account, "AuthType")) m.AuthType = (*v >= AuthLogin && *v <= AuthNTLM) ? *v : AuthLogin;
  ReadText(account, "Password", m.Password);
  if (auto v = Int(account, "Port")) m.Port = *v < 0 ? 110 : *v;
  if (auto v = Int(account, "DistributeType")) m.DistributeType = *v != 0 ? 1 : 0;
  if (auto v = Int(account, "Protocol")) {
    m.Protocol = (*v >= Pop3 && *v <= ExchangeWebDav) ? *v : Pop3;
    // The prefix follows the raw value; every unknown value reads as POP3.
    switch (*v) {
      case 1: s.label += "IMAP4: "; break;
      case 2: s.label += "EWS: "; break;
      case 3: s.label += "WebDAV: "; break;
      default: s.label += "POP3:"; break;
    }
  }
  if (auto v = Int(account, "ProxyProtocol")) m.ProxyProtocol = (*v >= Socks4 && *v <= Http) ? *v : Socks5;
  if (const std::string* v = Text(account, "Server")) {
    m.Server = *v;
    s.label += *v;
  }
  ReadText(account, "SocksProxyServer", m.SocksProxyServer);
  if (auto v = Int(account, "SocksProxyPort")) m.SocksProxyPort = *v < 0 ? 1080 : *v;
  ReadText(account, "SocksProxyUser", m.SocksProxyUser);
  ReadText(account, "SocksProxyPassword", m.SocksProxyPassword);
  if (auto v = Int(account, "SSLConnection")) m.SSLConnection = *v > 0;

  s.label += '#';
  if (const std::string* v = Text(account, "User")) {
    m.User = *v;
    s.label += *v;
  }

  ReadOAuthSettings(account, s.oauth, m);

  ReadText(account, "LocalUser", m.LocalUser);
  ReadText(account, "LocalDomain", m.LocalDomain);
  ReadText(account, "IMAP4Folder", s.imapFolder);

  // The account name becomes a folder name below "pull"; a name that would
  // leave that folder gets no work folder at all.
  if (UsableFolderName(account.name)) {
    s.workFolder = JoinPath(JoinPath(applicationFolder, "pull"), account.name);
    // A missing "pull" folder is a missing path, not a missing file.
    s.workFolderError = CreateFailure(s.workFolder, MakeFolder(s.workFolder, 0700));
  } else {
    s.workFolderError = err::kInvalidName;
  }

  if (const std::string* v = Text(account, "LogFileName"); v && !v->empty()) s.logFileName = *v;
  return s;
}

}  // namespace tarnwick
