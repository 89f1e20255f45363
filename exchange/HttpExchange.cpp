#include "exchange/HttpExchange.h"

#include "platform/Errors.h"

#include <algorithm>

namespace tarnwick {

namespace {

void ReportDownload(CMailClient& session, const CMailInfo& entry) {
  session.Report("Receiving email, Seq:" + std::to_string(entry.Index) + ", Size:0/" + std::to_string(entry.Size) +
                 " ...");
}

// Sends the request with the session's headers (after the request's own
// first ownHeaders) and, when offered, the account's credentials.
bool Send(CMailClient& session, ExchangeHttp& link, HttpRequest& request, std::size_t ownHeaders,
          HttpResponse& response) {
  request.headers.resize(ownHeaders);
  for (const auto& header : link.headers) request.headers.push_back(header);
  if (link.offerCredentials && session.ServerCopy) {
    request.user = session.ServerCopy->User;
    request.password = session.ServerCopy->Password;
  }
  response = HttpResponse();
  const bool done = link.http.Perform(request, response);
  // The password stays in the request no longer than the exchange.
  std::fill(request.password.begin(), request.password.end(), '\0');
  return done;
}

// Runs the request and maps its outcome. Returns true for a 2xx status with
// reply holding the body. A 401 to a renewable authorization renews it and
// sends the request once more; a second 401 is final.
bool Exchange(CMailClient& session, ExchangeHttp& link, HttpRequest& request, const CMailInfo* download,
              std::string& reply) {
  reply.clear();
  const std::size_t ownHeaders = request.headers.size();
  request.verify_peer = false;
  request.connect_timeout_seconds = link.connectTimeoutSeconds;
  request.stall_seconds = link.stallSeconds;
  if (session.Timeout > 0) {
    request.connect_timeout_seconds = std::min(request.connect_timeout_seconds, static_cast<int>(session.Timeout));
    request.stall_seconds = std::min(request.stall_seconds, static_cast<int>(session.Timeout));
  }
  request.max_reply_bytes = download ? link.maxDownloadBytes : link.maxReplyBytes;
  if (download) ReportDownload(session, *download);

  HttpResponse response;
  bool done = Send(session, link, request, ownHeaders, response);
  if (done && response.status == 401 && link.renewAuthorization) {
    const std::string refusal =
        "401 " + (response.status_text.empty() ? std::string("Unknown Error") : response.status_text) + "\r\n";
    session.WriteLog(refusal + "OAuth2: the Exchange server refused the access token; renewing it once\r\n");
    if (!link.renewAuthorization(session, link)) {
      // Keep the server's refusal in sight next to the renewal failure.
      session.LastResponse = "401";
      session.LastError = refusal + session.LastError;
      return false;
    }
    done = Send(session, link, request, ownHeaders, response);
  }
  if (!done) {
    if (link.http.error_code() == err::kTimedOut) {
      session.LastResponse = "10060";
      session.LastError = std::string(kExchangeTimeoutText);
    } else {
      session.LastResponse = "500";
      session.LastError = link.http.error_text().empty() ? std::string("500 Unknown Error")
                                                         : link.http.error_text() + "\r\n";
    }
    return false;
  }
  if (response.status < 200 || response.status > 299) {
    const std::string text = response.status_text.empty() ? std::string("Unknown Error") : response.status_text;
    session.LastResponse = std::to_string(response.status);
    session.LastError = std::to_string(response.status) + " " + text + "\r\n";
    session.WriteLog(session.LastError);
    return false;
  }
  reply = std::move(response.body);
  if (download) {
    session.WriteLog("[DATA Steam " + std::to_string(reply.size()) + "] Received\r\n");
  } else {
    session.WriteLog(reply);
    session.WriteLog("\r\n");
  }
  return true;
}

}  // namespace

bool EwsPost(CMailClient& session, ExchangeHttp& link, const std::string& url, std::string_view body,
             const CMailInfo* download, std::string& reply) {
  session.WriteLog("Post Data to Exchange Web Service ...\r\n");
  session.WriteLog(body);
  session.WriteLog("\r\n");
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.headers.emplace_back("Content-Type", "text/xml");
  request.body = body;
  request.has_body = true;
  return Exchange(session, link, request, download, reply);
}

bool WebDavRequest(CMailClient& session, ExchangeHttp& link, std::string_view contentType,
                   const std::string& method, const std::string& url, std::string_view body, bool hasBody,
                   const CMailInfo* download, std::string& reply) {
  session.WriteLog("Post Data to Exchange WebDAV ...\r\n");
  if (hasBody) session.WriteLog(body);
  session.WriteLog("\r\n");
  HttpRequest request;
  request.method = method;
  request.url = url;
  if (!contentType.empty()) request.headers.emplace_back("Content-Type", std::string(contentType));
  request.headers.emplace_back("Translate", "f");
  request.body = hasBody ? body : std::string_view();
  request.has_body = hasBody;
  return Exchange(session, link, request, download, reply);
}

bool WebDavSearchText(CMailClient& session, ExchangeHttp& link, const std::string& url, std::string_view body,
                      std::string& reply) {
  return WebDavRequest(session, link, "text/xml", "SEARCH", url, body, true, nullptr, reply);
}

}  // namespace tarnwick
