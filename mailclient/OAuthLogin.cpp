#include "mailclient/OAuthLogin.h"

#include "mailclient/Imap4.h"
#include "mailclient/MailClient.h"
#include "message/Encoding.h"

#include <algorithm>
#include <cctype>

namespace tarnwick {

namespace {

const char* MechanismName(const CMailServer& s) {
  return s.OAuth2Mechanism == OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string SaslMessage(const CMailServer& s, std::string_view token) {
  return s.OAuth2Mechanism == OAuthBearer ? OAuthBearerMessage(s.User, token) : Xoauth2Message(s.User, token);
}

// After a refused token the server sends its error as a challenge; the
// client ends the exchange with an empty response (XOAUTH2) or ^A
// (OAUTHBEARER, RFC 7628), and the server then gives its final refusal.
std::string AbortResponse(const CMailServer& s) { return s.OAuth2Mechanism == OAuthBearer ? "AQ==\r\n" : "\r\n"; }

// The error detail of a "+ <base64 JSON>" challenge, as readable text.
std::string ChallengeDetail(std::string_view line) {
  line.remove_prefix(std::min<std::size_t>(1, line.size()));
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  std::vector<std::uint8_t> decoded = Base64Decode(line);
  std::string text(decoded.begin(), decoded.end());
  // Only printable text goes into the error.
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
             text.end());
  return text;
}

bool Pop3Accepted(std::string_view reply) { return !reply.empty() && reply[0] == '+'; }
bool Pop3Continued(std::string_view reply) {
  return reply.size() >= 1 && reply[0] == '+' && (reply.size() == 1 || reply.substr(0, 3) != "+OK");
}

enum class Outcome { Accepted, Refused, Failed };

// One POP3 attempt with one token.
Outcome AttemptPop3(CMailClient& s, const std::string& token, std::string& status, std::string& text) {
  const CMailServer& server = *s.ServerCopy;
  s.Command = std::string("AUTH ") + MechanismName(server) + "\r\n";
  if (!s.SendData(s.Command)) return Outcome::Failed;
  if (!s.ReadResponse("", status, text)) return Outcome::Failed;
  if (!Pop3Continued(text)) return Outcome::Refused;
  s.Command = "******\r\n";
  if (!s.SendData(Base64Encode(SaslMessage(server, token)) + "\r\n", s.Command)) return Outcome::Failed;
  if (!s.ReadResponse("", status, text)) return Outcome::Failed;
  if (Pop3Continued(text)) {
    std::string detail = ChallengeDetail(text);
    s.Command = AbortResponse(server);
    if (!s.SendData(s.Command)) return Outcome::Failed;
    if (!s.ReadResponse("", status, text)) return Outcome::Failed;
    if (!detail.empty()) text += detail + "\r\n";
    return Pop3Accepted(text) ? Outcome::Accepted : Outcome::Refused;
  }
  return Pop3Accepted(text) ? Outcome::Accepted : Outcome::Refused;
}

// One IMAP4 attempt with one token.
Outcome AttemptImap4(CMailClient& s, bool saslIr, const std::string& token, std::string& status,
                     std::string& text) {
  const CMailServer& server = *s.ServerCopy;
  const std::string tag = imap4::NextTag(s.TagCounter);
  const std::string command = tag + " AUTHENTICATE " + MechanismName(server);
  const std::string response = Base64Encode(SaslMessage(server, token));
  bool continued = false;
  std::string line;
  if (saslIr) {
    s.Command = command + " ******\r\n";
    if (!s.SendData(command + " " + response + "\r\n", s.Command)) return Outcome::Failed;
  } else {
    s.Command = command + "\r\n";
    if (!s.SendData(s.Command)) return Outcome::Failed;
    if (!imap4::ReadContinuation(s, tag, continued, line, text)) return Outcome::Failed;
    if (!continued) {
      status = imap4::TaggedStatus(line);
      return Outcome::Refused;
    }
    s.Command = "******\r\n";
    if (!s.SendData(response + "\r\n", s.Command)) return Outcome::Failed;
  }
  if (!imap4::ReadContinuation(s, tag, continued, line, text)) return Outcome::Failed;
  std::string detail;
  if (continued) {
    detail = ChallengeDetail(line);
    s.Command = AbortResponse(server);
    if (!s.SendData(s.Command)) return Outcome::Failed;
    if (!imap4::ReadContinuation(s, tag, continued, line, text)) return Outcome::Failed;
    if (continued) {
      status = "BAD";
      return Outcome::Refused;
    }
  }
  status = imap4::TaggedStatus(line);
  if (!detail.empty()) text += detail + "\r\n";
  return status == "OK" || status == "ok" ? Outcome::Accepted : Outcome::Refused;
}

// Runs attempt with the current token, and once more with a renewed one
// when the server refuses it.
template <typename Attempt>
bool LoginWithRenewal(CMailClient& s, Attempt attempt) {
  std::string token, status, text;
  if (!FetchBearerToken(s, false, token)) return false;
  for (bool renewed = false;; renewed = true) {
    switch (attempt(token, status, text)) {
      case Outcome::Accepted: return true;
      case Outcome::Failed: return false;
      case Outcome::Refused: break;
    }
    if (renewed) break;
    s.WriteLog("OAuth2: the mail server refused the access token; renewing it once\r\n");
    if (!FetchBearerToken(s, true, token)) {
      // Keep the server's refusal in sight next to the renewal failure.
      std::string renewal = s.LastError;
      s.ServerError(status, text);
      s.LastError += renewal;
      return false;
    }
  }
  return s.ServerError(status, text);
}

}  // namespace

std::string Xoauth2Message(std::string_view user, std::string_view token) {
  std::string m = "user=";
  m.append(user).append("\x01" "auth=Bearer ").append(token).append("\x01\x01");
  return m;
}

std::string OAuthBearerMessage(std::string_view user, std::string_view token) {
  std::string m = "n,a=";
  for (char c : user) {
    if (c == ',') m += "=2C";
    else if (c == '=') m += "=3D";
    else m += c;
  }
  m.append(",\x01" "auth=Bearer ").append(token).append("\x01\x01");
  return m;
}

bool UsableBearerToken(std::string_view token) {
  // b64token = 1*( ALPHA / DIGIT / "-" / "." / "_" / "~" / "+" / "/" ) *"="
  std::size_t i = 0;
  while (i < token.size() && (std::isalnum(static_cast<unsigned char>(token[i])) ||
                              std::string_view("-._~+/").find(token[i]) != std::string_view::npos))
    ++i;
  if (i == 0) return false;
  while (i < token.size() && token[i] == '=') ++i;
  return i == token.size();
}

bool FetchBearerToken(CMailClient& s, bool renew, std::string& token) {
  if (!s.TokenSource) return s.FailWith("OAuth2: no access token is available for this session\r\n");
  std::string note;
  token.clear();
  if (!s.TokenSource(renew, token, note)) return s.FailWith("OAuth2: " + note + "\r\n");
  if (!note.empty()) s.WriteLog(note);
  if (!UsableBearerToken(token))
    return s.FailWith("OAuth2: the identity provider issued an access token that cannot be sent\r\n");
  return true;
}

bool LoginOAuthPop3(CMailClient& s) {
  return LoginWithRenewal(s, [&](const std::string& token, std::string& status, std::string& text) {
    return AttemptPop3(s, token, status, text);
  });
}

bool LoginOAuthImap4(CMailClient& s) {
  // The capabilities decide whether the SASL message may ride on the
  // AUTHENTICATE line; after STARTTLS they must be asked for again anyway.
  const std::string tag = imap4::NextTag(s.TagCounter);
  s.Command = tag + " CAPABILITY\r\n";
  if (!s.SendData(s.Command)) return false;
  std::string status, text;
  if (!s.ReadResponse(tag, status, text)) return false;
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const bool saslIr = upper.find(" SASL-IR") != std::string::npos;
  return LoginWithRenewal(s, [&](const std::string& token, std::string& st, std::string& tx) {
    return AttemptImap4(s, saslIr, token, st, tx);
  });
}

}  // namespace tarnwick
