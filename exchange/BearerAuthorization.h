// Bearer token authorization for Exchange sessions of OAuth2 accounts: the
// session's requests carry "Authorization: Bearer <token>" and the mailbox
// they are for ("X-AnchorMailbox: <User>"), and the account's user and
// password are not offered. A request the server answers with 401 gets one
// renewed token and is sent once more; a second 401 is final.
#pragma once

#include "exchange/HttpExchange.h"

namespace tarnwick {

// The preparation hook for RegisterExchangeProtocols: for settings with
// OAuth2 set it fetches the session's token and sets the headers; other
// sessions are left as they are. Returns false (LastError set) when no
// usable token or mailbox name is at hand.
bool PrepareBearerAuthorization(CMailClient& session, ExchangeHttp& link);

}  // namespace tarnwick
