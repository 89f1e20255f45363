// The EWS and WebDAV protocol objects behind the session, and their
// registration with the session's protocol table. The engine registers them
// once at start-up; the session knows them only by protocol number.
#pragma once

#include "exchange/HttpExchange.h"
#include "mailclient/MailProtocol.h"

#include <functional>
#include <memory>

namespace tarnwick {

// Runs at every Exchange connect, before the first request, with the
// session (its settings copy set) and its HTTP side: the place to add
// headers for the session, such as a bearer token and the mailbox it is
// for. Returning false fails the connect; LastError should say why.
using ExchangePrepare = std::function<bool(CMailClient& session, ExchangeHttp& link)>;

class ExchangeProtocol : public MailProtocol {
 public:
  explicit ExchangeProtocol(ExchangePrepare prepare) : prepare_(std::move(prepare)) {}
  bool UsesStream() const override { return false; }
  bool Open(CMailClient& session) override;
  bool List(CMailClient& session) override;
  bool Retrieve(CMailClient& session, const CMailInfo& info, std::string& content) override;
  bool Delete(CMailClient& session, const CMailInfo& info) override;
  // Nothing is sent: the session's HTTP connection closes with it.
  bool Quit(CMailClient& session) override;

  ExchangeHttp& Link() { return link_; }

 protected:
  virtual bool FindFolders(CMailClient& session) = 0;
  virtual bool FindItems(CMailClient& session) = 0;
  virtual bool Fetch(CMailClient& session, const CMailInfo& info, std::string& content) = 0;
  virtual bool Remove(CMailClient& session, const CMailInfo& info) = 0;

  ExchangeHttp link_;

 private:
  ExchangePrepare prepare_;
};

class EwsProtocol final : public ExchangeProtocol {
 public:
  using ExchangeProtocol::ExchangeProtocol;

 private:
  bool FindFolders(CMailClient& session) override;
  bool FindItems(CMailClient& session) override;
  bool Fetch(CMailClient& session, const CMailInfo& info, std::string& content) override;
  bool Remove(CMailClient& session, const CMailInfo& info) override;
};

class WebDavProtocol final : public ExchangeProtocol {
 public:
  using ExchangeProtocol::ExchangeProtocol;

 private:
  bool FindFolders(CMailClient& session) override;
  bool FindItems(CMailClient& session) override;
  bool Fetch(CMailClient& session, const CMailInfo& info, std::string& content) override;
  bool Remove(CMailClient& session, const CMailInfo& info) override;
};

// Installs the makers for protocols 2 (EWS) and 3 (WebDAV); prepare, when
// set, runs at each of their connects. Calling it again replaces both.
void RegisterExchangeProtocols(ExchangePrepare prepare = {});

}  // namespace tarnwick
