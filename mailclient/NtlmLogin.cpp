#include "mailclient/NtlmLogin.h"

#include "mailclient/Auth.h"
#include "mailclient/Imap4.h"
#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "platform/AsciiText.h"
#include "platform/Host.h"

#include <string>
#include <string_view>

namespace tarnwick {

namespace {

// The security package's code for a token it cannot use.
constexpr int kInvalidToken = static_cast<int>(0x80090308u);

bool Accepted(std::string_view reply) { return !reply.empty() && reply[0] == '+'; }

std::string_view Trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The end of a multi-line POP3 reply: the line holding only ".".
bool MultiLineComplete(std::string_view body) {
  auto ends = [&](std::string_view t) {
    return body.size() >= t.size() && body.substr(body.size() - t.size()) == t;
  };
  return body == ".\r\n" || body == ".\n" || ends("\n.\r\n") || ends("\n.\n");
}

// One reply to a step of the exchange. POP3: one line, accepted when it
// begins with '+'. IMAP4 (tag given): untagged lines are passed over; a
// continuation line is accepted, the tagged line is a refusal and ends the
// exchange at once.
bool ReadStep(CMailClient& s, std::string_view tag, std::string& line) {
  std::string status, text;
  if (tag.empty()) {
    if (!s.ReadResponse("", status, text)) return false;
    if (!Accepted(status)) return s.ServerError(status, text);
    line = text.substr(0, text.find('\n') + 1);
    return true;
  }
  bool continued = false;
  if (!imap4::ReadContinuation(s, tag, continued, line, text)) return false;
  if (!continued) return s.ServerError(imap4::TaggedStatus(line), text);
  return true;
}

// Negotiate, challenge, authenticate; then the server's verdict.
bool Exchange(CMailClient& s, std::string_view tag) {
  const CMailServer& server = *s.ServerCopy;
  s.Command = Base64Encode(auth::NtlmNegotiate()) + "\r\n";
  if (!s.SendData(s.Command)) return false;

  // S: + TlRMTVNTUAACAAAA...
  std::string line;
  if (!ReadStep(s, tag, line)) return false;
  std::size_t space = line.find(' ');
  if (space == std::string::npos) return s.ServerError(Trim(line), line);
  std::vector<std::uint8_t> token = Base64Decode(Trim(std::string_view(line).substr(space + 1)));
  auth::NtlmChallenge challenge;
  std::string problem;
  if (!auth::ParseNtlmChallenge(token, challenge, problem))
    return s.FailWith("NativeErrorCode: " + std::to_string(kInvalidToken) +
                      " NTLMThe token supplied to the function is invalid (" + problem + ")\r\n");

  auth::NtlmIdentity identity = auth::SplitNtlmUser(server.User, server.Password);
  // The authenticate token carries the password's response to the
  // challenge: the log and transcript get a mask.
  const auth::Bytes authenticate = auth::NtlmAuthenticate(challenge, identity, ComputerName());
  s.Command = "******\r\n";
  if (!s.SendData(Base64Encode(authenticate) + "\r\n", s.Command)) return false;

  std::string status, text;
  if (tag.empty()) {
    if (!s.ReadResponse("", status, text)) return false;
    if (!Accepted(status)) return s.ServerError(status, text);
    return true;
  }
  if (!s.ReadResponse(tag, status, text)) return false;
  bool ok = status.size() == 2 && (status[0] == 'O' || status[0] == 'o') &&
            (status[1] == 'K' || status[1] == 'k');
  if (!ok) return s.ServerError(status, text);
  return true;
}

}  // namespace

bool LoginNtlmPop3(CMailClient& s) {
  imap4::NextTag(s.TagCounter);  // a tag number is used up, as for IMAP4
  s.Command = "AUTH\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(status)) return s.ServerError(status, text);
  // The mechanism list is not examined, but it is read to its end, counting
  // whatever came together with the status line.
  std::string list = text.substr(text.find('\n') + 1);
  while (!MultiLineComplete(list)) {
    std::size_t old = list.size();
    if (!s.ReceiveChunk(list)) return false;
    if (list.size() == old) return s.RaiseError(10060);
    if (list.size() > (1u << 20)) return s.FailWith("Mail Server: reply too long\r\n");
  }

  s.Command = "AUTH NTLM\r\n";
  if (!s.SendData(s.Command)) return false;
  if (!s.ReadResponse("", status, text)) return false;
  if (!Accepted(status)) return s.ServerError(status, text);
  return Exchange(s, "");
}

bool LoginNtlmImap4(CMailClient& s) {
  std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " AUTHENTICATE NTLM\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string line;
  if (!ReadStep(s, tag, line)) return false;
  return Exchange(s, tag);
}

}  // namespace tarnwick
