// Turns an account block of "config/mailpull" into the session settings and
// the run options of one pull run.
#pragma once

#include "config/ConfigBlock.h"
#include "mailclient/MailClient.h"
#include "mailclient/MailServer.h"
#include "oauth/TokenClient.h"
#include "platform/Clock.h"

#include <optional>
#include <string>

namespace tarnwick {

struct AccountSession {
  CMailServer server;            // session settings (LocalUser, LocalDomain, DistributeType filled too)
  bool leaveCopy = true;         // leave fetched messages on the server
  std::string imapFolder = "INBOX";
  std::optional<std::string> logFileName;  // protocol log file, when set
  std::string label;             // AccountLabel: "POP3:host#user", "IMAP4: host#user", ...
  std::string accountName;       // the block's name
  std::string workFolder;        // <application folder>/pull/<account name>
  // 0, or the error of making the work folder. 123 with an empty workFolder
  // when the account name cannot name a folder ("", ".", "..", or holding
  // "/"): such an account is not pulled.
  int workFolderError = 0;
  // The OAuth2 keys; in use when oauth.enabled() (server.OAuth2 is then set).
  oauth::Settings oauth;
};

// Reads the OAuth2 keys of an account block. With a non-empty
// "OAuth2TokenUrl" the server settings are switched to a bearer token login
// ("OAuth2Mechanism" "XOAUTH2", the default, or "OAUTHBEARER"); without it
// nothing changes.
void ReadOAuthSettings(const ConfigBlock& account, oauth::Settings& settings, CMailServer& server);

// The token source of a session for an OAuth2 account: tokens are cached in
// workFolder (none when empty) and renewed as oauth::AccountTokens says.
BearerTokenSource MakeTokenSource(const oauth::Settings& settings, const std::string& workFolder, Clock& clock);

// Reads every key with its default and range rule, in the order that fixes
// the label, and creates the account work folder below applicationFolder.
AccountSession BuildSession(const ConfigBlock& account, const std::string& applicationFolder);

}  // namespace tarnwick
