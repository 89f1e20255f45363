// The mailbox operations of one protocol, driven by a session (CMailClient).
// The session owns the connection, the transcript and the error texts; a
// protocol object says what goes over the connection. POP3 and IMAP4 live in
// this folder; the Exchange clients register their makers at start-up, so
// that the session never needs to know them.
#pragma once

#include "mailclient/MailServer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tarnwick {

class CMailClient;

class MailProtocol {
 public:
  virtual ~MailProtocol() = default;

  // True for protocols spoken over the session's TCP connection (POP3,
  // IMAP4): the session connects, secures and then calls ReadGreeting,
  // RequestTls and Login. False for protocols with a transport of their own
  // (Exchange): Open is then the whole connect.
  virtual bool UsesStream() const = 0;
  // The protocol's plain port (110, 143): with SSL in automatic mode the
  // session upgrades after the greeting on this port and speaks TLS from
  // the start on any other.
  virtual int PlainPort() const { return 0; }

  // Exchange: the folder look-up that makes up the whole connect.
  virtual bool Open(CMailClient& session);
  // Reads and checks the server's greeting.
  virtual bool ReadGreeting(CMailClient& session);
  // Sends the upgrade command (STLS, STARTTLS) and checks its reply.
  virtual bool RequestTls(CMailClient& session);
  // The login chosen by the settings' AuthType.
  virtual bool Login(CMailClient& session);
  // Work after a successful login (IMAP4 asks for the hierarchy delimiter).
  virtual bool AfterLogin(CMailClient& session);

  // Fills session.Messages and sets session.Listed.
  virtual bool List(CMailClient& session) = 0;
  // Fetches one message; content receives its bytes.
  virtual bool Retrieve(CMailClient& session, const CMailInfo& info, std::string& content) = 0;
  virtual bool Delete(CMailClient& session, const CMailInfo& info) = 0;
  virtual bool Quit(CMailClient& session) = 0;
  // A hint that the next Retrieve will ask for this message: a protocol
  // that can ask ahead does so, and answers the Retrieve from that reply.
  // Any other command first reads past a reply asked for ahead.
  virtual void Prefetch(CMailClient& /*session*/, const CMailInfo& /*next*/) {}
};

using MailProtocolFactory = std::function<std::unique_ptr<MailProtocol>()>;

// Installs (or replaces) the maker for a protocol number (Protocol field of
// CMailServer). POP3 and IMAP4 are built in; the Exchange clients register
// themselves before the first session connects.
void RegisterMailProtocol(int32_t protocol, MailProtocolFactory factory);
// A new protocol object for the number, or none when nothing is registered.
std::unique_ptr<MailProtocol> MakeMailProtocol(int32_t protocol);

}  // namespace tarnwick
