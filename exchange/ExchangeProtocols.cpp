#include "exchange/ExchangeProtocols.h"

#include "exchange/Ews.h"
#include "exchange/WebDav.h"

namespace tarnwick {

bool ExchangeProtocol::Open(CMailClient& session) {
  if (!session.ServerCopy) return session.FailWith("Connect without settings\r\n");
  session.Listed = false;
  session.Messages.clear();
  if (prepare_ && !prepare_(session, link_)) return false;
  if (!FindFolders(session)) return false;
  session.Report("Connected");
  return true;
}

bool ExchangeProtocol::List(CMailClient& session) {
  session.Messages.clear();
  if (!FindItems(session)) return false;
  session.Listed = true;
  return true;
}

bool ExchangeProtocol::Retrieve(CMailClient& session, const CMailInfo& info, std::string& content) {
  const std::string seq = std::to_string(info.Index);
  session.Report("Receiving email, Seq:" + seq + ", Size:0/" + std::to_string(info.Size) + " ...");
  if (!Fetch(session, info, content)) return false;
  const std::string n = std::to_string(content.size());
  session.Report("Receiving email, Seq:" + seq + ", Size:" + n + "/" + n + " ...");
  return true;
}

bool ExchangeProtocol::Delete(CMailClient& session, const CMailInfo& info) { return Remove(session, info); }

bool ExchangeProtocol::Quit(CMailClient&) { return true; }

bool EwsProtocol::FindFolders(CMailClient& session) { return EwsFindFolder(session, link_); }
bool EwsProtocol::FindItems(CMailClient& session) { return EwsFindItem(session, link_); }
bool EwsProtocol::Remove(CMailClient& session, const CMailInfo& info) { return EwsDeleteItem(session, link_, info); }

bool EwsProtocol::Fetch(CMailClient& session, const CMailInfo& info, std::string& content) {
  if (!EwsGetItem(session, link_, info, content)) return false;
  // The listed size was an estimate; the entry now holds the real length.
  const auto at = static_cast<std::size_t>(info.Index - 1);
  if (info.Index > 0 && at < session.Messages.size() && session.Messages[at].UIDL == info.UIDL) {
    session.Messages[at].Size = content.size() > 0x7fffffffu ? 0x7fffffff : static_cast<int32_t>(content.size());
  }
  return true;
}

bool WebDavProtocol::FindFolders(CMailClient& session) { return WebDavFindFolders(session, link_); }
bool WebDavProtocol::FindItems(CMailClient& session) { return WebDavFindItems(session, link_); }
bool WebDavProtocol::Fetch(CMailClient& session, const CMailInfo& info, std::string& content) {
  return WebDavGet(session, link_, info, content);
}
bool WebDavProtocol::Remove(CMailClient& session, const CMailInfo& info) { return WebDavDelete(session, link_, info); }

void RegisterExchangeProtocols(ExchangePrepare prepare) {
  RegisterMailProtocol(ExchangeEws, [prepare] { return std::unique_ptr<MailProtocol>(std::make_unique<EwsProtocol>(prepare)); });
  RegisterMailProtocol(ExchangeWebDav,
                       [prepare] { return std::unique_ptr<MailProtocol>(std::make_unique<WebDavProtocol>(prepare)); });
}

}  // namespace tarnwick
