// The WebDAV client: the session's connect, list, fetch and delete carried
// out as WebDAV requests to the mailbox URL. A message's URL (its href)
// becomes the entry's UIDL.
#pragma once

#include "exchange/HttpExchange.h"
#include "mailclient/MailClient.h"

#include <string>
#include <string_view>

namespace tarnwick {

// Server ("/exchange/" appended when it holds no "/"), the scheme put in
// front unless it starts with "http", then the user name (the part after
// the first backslash of a "domain\user" login) appended directly.
std::string WebDavMailboxUrl(const CMailServer& settings);

// The request bodies.
std::string WebDavFolderSearchRequest(std::string_view mailboxUrl);
std::string WebDavItemSearchRequest(std::string_view folderName);

// Reply readers over a 2xx reply's text; false with LastResponse "500" and
// LastError set when a required property is missing. Entries read before a
// failure stay in their list.
bool WebDavReadFolders(CMailClient& session, std::string reply);
bool WebDavReadItems(CMailClient& session, std::string reply);

// The operations.
bool WebDavFindFolders(CMailClient& session, ExchangeHttp& link);
bool WebDavFindItems(CMailClient& session, ExchangeHttp& link);
bool WebDavGet(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry, std::string& content);
bool WebDavDelete(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry);

}  // namespace tarnwick
