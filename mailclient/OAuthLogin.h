// Bearer token logins (SASL XOAUTH2 and OAUTHBEARER) for POP3 and IMAP4.
// The token comes from the session's TokenSource; a token the server
// refuses is renewed once and tried again, and a second refusal is final.
// The SASL message carries the token, so it goes to the log as "******".
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

class CMailClient;

// XOAUTH2: "user=" user ^A "auth=Bearer " token ^A ^A (before base64).
std::string Xoauth2Message(std::string_view user, std::string_view token);
// OAUTHBEARER (RFC 7628): "n,a=" saslname "," ^A "auth=Bearer " token ^A ^A,
// the user written as a saslname ("," as "=2C", "=" as "=3D").
std::string OAuthBearerMessage(std::string_view user, std::string_view token);
// Whether text may stand as a bearer token (RFC 6750 b64token characters).
bool UsableBearerToken(std::string_view token);

// Asks the session's TokenSource for a token and writes its note to the
// transcript. On failure LastError reads "OAuth2: ..." and false returns.
// The Exchange clients use it for "Authorization: Bearer".
bool FetchBearerToken(CMailClient& session, bool renew, std::string& token);

// C: AUTH XOAUTH2              S: +
// C: ******                    S: +OK        (or "+ <error>", C: "", S: -ERR)
bool LoginOAuthPop3(CMailClient& session);

// C: A0001 CAPABILITY          S: * CAPABILITY ... SASL-IR ...
// C: A0002 AUTHENTICATE XOAUTH2 ******       (without SASL-IR: S: +, C: ******)
// S: A0002 OK                  (or "+ <error>", C: "", S: A0002 NO ...)
bool LoginOAuthImap4(CMailClient& session);

}  // namespace tarnwick
