// One HTTP exchange with an Exchange server, in the two forms the clients
// use: a SOAP post to the EWS endpoint (EwsPost) and a WebDAV request
// (WebDavRequest, WebDavSearchText). Each writes its request and reply to the
// session's protocol log and maps every failure into LastResponse and
// LastError:
//   - HTTP status outside 200-299: LastResponse "%d", LastError
//     "%d %s\r\n" (status, status text or "Unknown Error"), also logged;
//   - no byte moved for the stall time, or no connection within the connect
//     time-out: LastResponse "10060" and the time-out text;
//   - any other transport failure (refused, unknown host, dropped, a reply
//     past its cap): LastResponse "500" and the failure's text.
// Authorization headers and passwords never reach the log.
#pragma once

#include "mailclient/MailClient.h"
#include "platform/HttpClient.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

// The HTTP side of one Exchange session. Its client keeps one connection
// alive for all requests of the session, so a server that authenticates the
// connection (NTLM) sees one login per session.
struct ExchangeHttp {
  HttpClient http;
  // Headers added to every request of the session (say a bearer token and
  // the mailbox it is for). Filled by the session's preparation hook.
  std::vector<std::pair<std::string, std::string>> headers;
  // Whether the account's user and password are offered to the server's
  // HTTP authentication; off when the headers carry the authorization.
  bool offerCredentials = true;
  // Set when the headers carry a token that can be renewed: called once for
  // a request the server answered with 401; true when the headers now hold
  // a renewed authorization and the request is worth sending once more.
  std::function<bool(CMailClient& session, ExchangeHttp& link)> renewAuthorization;
  int connectTimeoutSeconds = 60;
  // The exchange is abandoned when no byte has moved this long (or for the
  // session's time-out, when that is shorter).
  int stallSeconds = 30;
  // Replies past these sizes fail instead of growing without bound: a
  // message download may be as large as a POP3 message may be; a listing,
  // search or delete reply much smaller.
  std::size_t maxDownloadBytes = 0x7fff0000u;
  std::size_t maxReplyBytes = std::size_t{64} << 20;
};

// The time-out text of an exchange that got no answer in time.
inline constexpr std::string_view kExchangeTimeoutText =
    "A connection attempt failed because the connected party did not properly respond after a period of time.";

// Posts a SOAP request to the EWS endpoint. download marks a message fetch
// (entry is the message): progress is reported and the reply is logged by its
// length only. On success reply holds the response text.
bool EwsPost(CMailClient& session, ExchangeHttp& link, const std::string& url, std::string_view body,
             const CMailInfo* download, std::string& reply);

// One WebDAV request; an empty contentType sends no Content-Type header,
// "Translate: f" is always sent. hasBody false sends no body at all.
bool WebDavRequest(CMailClient& session, ExchangeHttp& link, std::string_view contentType,
                   const std::string& method, const std::string& url, std::string_view body, bool hasBody,
                   const CMailInfo* download, std::string& reply);

// A SEARCH with a text/xml body; reply is empty on failure.
bool WebDavSearchText(CMailClient& session, ExchangeHttp& link, const std::string& url, std::string_view body,
                      std::string& reply);

}  // namespace tarnwick
