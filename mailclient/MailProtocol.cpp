#include "mailclient/MailProtocol.h"

#include "mailclient/Imap4.h"
#include "mailclient/MailClient.h"
#include "mailclient/Pop3.h"
#include "platform/Errors.h"

#include <array>
#include <mutex>

namespace tarnwick {

bool MailProtocol::Open(CMailClient& session) { return session.RaiseError(err::kInvalidParameter, "Open"); }
bool MailProtocol::ReadGreeting(CMailClient&) { return true; }
bool MailProtocol::RequestTls(CMailClient& session) { return session.RaiseError(err::kInvalidParameter, "SSL"); }
bool MailProtocol::Login(CMailClient&) { return true; }
bool MailProtocol::AfterLogin(CMailClient&) { return true; }

namespace {

struct Registry {
  std::mutex mutex;
  std::array<MailProtocolFactory, 4> makers;

  Registry() {
    makers[Pop3] = [] { return std::unique_ptr<MailProtocol>(std::make_unique<Pop3Protocol>()); };
    makers[Imap4] = [] { return std::unique_ptr<MailProtocol>(std::make_unique<Imap4Protocol>()); };
  }
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterMailProtocol(int32_t protocol, MailProtocolFactory factory) {
  if (protocol < 0 || protocol >= 4) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.makers[static_cast<std::size_t>(protocol)] = std::move(factory);
}

std::unique_ptr<MailProtocol> MakeMailProtocol(int32_t protocol) {
  if (protocol < 0 || protocol >= 4) return nullptr;
  MailProtocolFactory maker;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    maker = r.makers[static_cast<std::size_t>(protocol)];
  }
  return maker ? maker() : nullptr;
}

}  // namespace tarnwick
