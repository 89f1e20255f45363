// The EWS client: the session's connect, list, fetch and delete carried out
// as SOAP requests (FindFolder, FindItem, GetItem, DeleteItem) to the
// server's EWS endpoint. An item's id becomes the entry's UIDL; its change
// key travels with it for GetItem.
#pragma once

#include "exchange/HttpExchange.h"
#include "mailclient/MailClient.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// Items asked for with one FindItem; the server may cap a page lower.
inline constexpr int32_t kEwsPageSize = 500;

// The endpoint: Server, "/ews/exchange.asmx" appended when it holds no "/",
// and "https://" or "http://" (by SSLConnection) put in front unless it
// starts with "http" in any letter case.
std::string EwsUrl(const CMailServer& settings);
// "soap:Envelope/soap:Body/m:" (or the "s:" form when the root name does not
// start with "soap:"), op, "Response/m:ResponseMessages/m:", op,
// "ResponseMessage/" and tail.
std::string EwsResponsePath(std::string_view op, std::string_view tail, std::string_view rootName);

// The request bodies.
std::string EwsFindFolderRequest();
// Asks for the page of kEwsPageSize items starting at offset.
std::string EwsFindItemRequest(std::string_view folderName, int64_t offset);
std::string EwsGetItemRequest(const CMailInfo& entry);
std::string EwsDeleteItemRequest(const CMailInfo& entry);

// Reply readers, each over the text of a 2xx reply. They check the response
// code and read what the operation needs; false with LastResponse and
// LastError set when the reply says no or cannot be read.
bool EwsReadFindFolder(CMailClient& session, std::string reply);
// One page of a listing: the messages are appended to session.Messages.
struct EwsPage {
  bool last = true;         // no further page to ask for
  int64_t nextOffset = 0;   // where the next page starts
};
bool EwsReadFindItem(CMailClient& session, std::string reply, EwsPage& page);
bool EwsReadGetItem(CMailClient& session, std::string reply, std::string& content);
bool EwsReadDeleteItem(CMailClient& session, std::string reply);

// The operations: request, exchange, reading.
bool EwsFindFolder(CMailClient& session, ExchangeHttp& link);
// Lists the folder page by page until the server says the last item is in.
bool EwsFindItem(CMailClient& session, ExchangeHttp& link);
bool EwsGetItem(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry, std::string& content);
bool EwsDeleteItem(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry);

}  // namespace tarnwick
