// Connection settings of one account (CMailServer) and one message found on a
// server (CMailInfo), shared by every protocol.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

enum AuthType : int32_t { AuthLogin = 0, AuthCRAM5 = 1, AuthNTLM = 2 };
enum MailProtocolKind : int32_t { Pop3 = 0, Imap4 = 1, ExchangeEws = 2, ExchangeWebDav = 3 };
enum ProxyProtocol : int32_t { Socks4 = 0, Socks5 = 1, Http = 2 };
enum SSLType : int32_t { ConnectSSLAuto = 0, ConnectSSL = 1, ConnectTLS = 2 };
// SASL mechanism of a bearer token login.
enum OAuth2Mechanism : int32_t { OAuthXoauth2 = 0, OAuthBearer = 1 };

class CMailServer {
 public:
  virtual ~CMailServer() = default;

  std::string Server;
  int32_t Port = 110;
  std::string User;
  std::string Password;
  int32_t AuthType = AuthLogin;
  int32_t Protocol = Pop3;
  int32_t ProxyProtocol = Socks5;
  int32_t SSLType = ConnectSSLAuto;
  bool SSLConnection = false;
  std::string SocksProxyServer;
  int32_t SocksProxyPort = 1080;
  std::string SocksProxyUser;
  std::string SocksProxyPassword;
  // Log in with a bearer token from the session's TokenSource instead of
  // AuthType and Password; User names the mailbox.
  bool OAuth2 = false;
  int32_t OAuth2Mechanism = OAuthXoauth2;
  // For the pull job only; not part of a session's copy.
  std::string LocalUser;
  std::string LocalDomain;
  int32_t DistributeType = 0;
};

class CMailInfo {
 public:
  virtual ~CMailInfo() = default;

  std::string Flags;      // IMAP4: upper-cased, in one pair of parentheses
  std::string UIDL;       // POP3 UIDL, IMAP4 UID or Exchange item id
  std::string ChangeKey;  // Exchange only
  int32_t Size = 0;
  int32_t Index = 0;      // 1-based position in the list; POP3 message number
};

}  // namespace tarnwick
