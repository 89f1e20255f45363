// The NTLM login exchange for POP3 (AUTH NTLM) and IMAP4 (AUTHENTICATE
// NTLM): negotiate, challenge and authenticate tokens in base64 lines, the
// tokens made by the NTLMSSP functions of Auth.h.
#pragma once

namespace tarnwick {

class CMailClient;

// C: AUTH                      S: +OK / mechanism lines / .
// C: AUTH NTLM                 S: +
// C: <negotiate>               S: + <challenge>
// C: <authenticate>            S: +OK
bool LoginNtlmPop3(CMailClient& session);

// C: A0001 AUTHENTICATE NTLM   S: +
// C: <negotiate>               S: + <challenge>
// C: <authenticate>            S: A0001 OK
bool LoginNtlmImap4(CMailClient& session);

}  // namespace tarnwick
