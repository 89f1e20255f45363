// Proxy tunnels: the layer of the transport stack between the TCP connection
// to a proxy and everything above it (TLS, greeting, login). Each tunnel asks
// the proxy for a connection to the mail server over the connection the
// session already holds; when it stands, the session's byte stream is the
// mail server's, exactly as on a direct connection.
//
//   SOCKS4   C: 04 01 <port> <ipv4> <user> 00          S: 00 5A ....
//   SOCKS5   C: 05 n <methods>                          S: 05 <method>
//            C: 01 <ulen> <user> <plen> <password>      S: 01 00   (method 2)
//            C: 05 01 00 <type> <address> <port>        S: 05 00 00 <type> <bound>
//   HTTP     C: CONNECT host:port HTTP/1.1 ...          S: HTTP/1.1 200 ...
//
// SOCKS messages are sent without being logged; the HTTP requests go through
// the session's logged send, with the credentials of a Basic login written
// as "******".
#pragma once

#include "mailclient/MailServer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick {

class CMailClient;
class TcpSocket;

// What a tunnel needs of the connection to the proxy. The session provides
// one over its socket; the fuzz target one over bytes in memory.
class ProxyLink {
 public:
  virtual ~ProxyLink() = default;
  // Sends data without logging it. False with error set on failure.
  virtual bool Write(std::string_view data, int& error) = 0;
  // Sends an HTTP request through the session's send, which logs logText
  // in place of data. False with the session's LastError set.
  virtual bool SendLogged(std::string_view data, std::string_view logText) = 0;
  // Waits (the session's time-out) until data is waiting and appends at
  // most max bytes of it to out. False with error set (10060 for a silent
  // or closed proxy).
  virtual bool Read(std::string& out, std::size_t max, int& error) = 0;
  // Waits as Read does, then copies at most max of the waiting bytes to
  // out without consuming them.
  virtual bool Peek(std::string& out, std::size_t max, int& error) = 0;
  // True when the proxy has closed its side and nothing is left to read;
  // does not wait.
  virtual bool PeerClosed() = 0;
  // Replaces the connection by a new one to the same proxy. False with the
  // session's LastError set.
  virtual bool Reconnect() = 0;
};

// The link over the session's own socket; reconnect opens a new TCP
// connection to the proxy.
std::unique_ptr<ProxyLink> MakeSocketProxyLink(CMailClient& session, TcpSocket& socket,
                                               std::function<bool()> reconnect);

// Each builds the tunnel to server.Server:port over the link and returns
// true when it stands; on failure LastError (and LastResponse for a proxy's
// refusal) tell why.
bool TunnelSocks4(CMailClient& session, const CMailServer& server, int port, ProxyLink& link);
bool TunnelSocks5(CMailClient& session, const CMailServer& server, int port, ProxyLink& link);
bool TunnelHttp(CMailClient& session, const CMailServer& server, int port, ProxyLink& link);

// Reads one HTTP reply head from the proxy, consuming it and its blank line
// but nothing after, and drops a body announced by "Content-Length". status
// receives the code (500 until one is read), head the text before the blank
// line. A head longer than kMaxProxyHead fails.
bool ReadProxyReply(CMailClient& session, ProxyLink& link, int& status, std::string& head);

inline constexpr std::size_t kMaxProxyHead = 64 * 1024;

namespace proxy {

// The SOCKS4 connect request for an IPv4 address (4 bytes, network order).
std::string Socks4Request(int port, std::string_view ipv4, std::string_view user);
// The SOCKS5 connect request. Numeric IPv4 and IPv6 targets go as address
// types 1 and 4, anything else as a name (type 3) for the proxy to resolve.
// False for a name longer than 255 bytes.
bool Socks5Request(const std::string& host, int port, std::string& out);
// How many bytes of bound address and port follow the first five bytes of a
// SOCKS5 reply, by its address type and fifth byte; -1 for an unknown type.
int Socks5BoundRest(std::uint8_t type, std::uint8_t first);
// The CONNECT request, with authorization the value of a
// "Proxy-Authorization" line when not empty.
std::string HttpConnectRequest(const std::string& host, int port, std::string_view authorization);

}  // namespace proxy

}  // namespace tarnwick
