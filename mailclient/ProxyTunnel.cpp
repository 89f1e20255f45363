#include "mailclient/ProxyTunnel.h"

#include "mailclient/Auth.h"
#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "message/Headers.h"
#include "platform/AsciiText.h"
#include "platform/Errors.h"
#include "platform/Host.h"
#include "platform/Socket.h"

#include <algorithm>
#include <vector>

namespace tarnwick {

namespace {

// A name or credential that does not fit the one length byte of SOCKS5.
constexpr int kNameTooLong = 10063;
// The security package's code for a token it cannot use.
constexpr int kInvalidToken = static_cast<int>(0x80090308u);
// Bytes looked at per peek of a reply head, and per read of a dropped body.
constexpr std::size_t kPeekWindow = 4096;
constexpr std::size_t kDropPiece = 8195;
constexpr std::string_view kHeadEnd = "\r\n\r\n";

class SocketProxyLink final : public ProxyLink {
 public:
  SocketProxyLink(CMailClient& session, TcpSocket& socket, std::function<bool()> reconnect)
      : session_(session), socket_(socket), reconnect_(std::move(reconnect)) {}

  bool Write(std::string_view data, int& error) override {
    RawChannel* channel = session_.Transport();
    if (!channel) {
      error = err::kNotConnected;
      return false;
    }
    return channel->WriteAll(data, error);
  }

  bool SendLogged(std::string_view data, std::string_view logText) override {
    return logText == data ? session_.SendData(data) : session_.SendData(data, logText);
  }

  bool Read(std::string& out, std::size_t max, int& error) override {
    RawChannel* channel = session_.Transport();
    if (!channel) {
      error = err::kNotConnected;
      return false;
    }
    return channel->ReadSome(out, max, error);
  }

  bool Peek(std::string& out, std::size_t max, int& error) override {
    out.assign(max, '\0');
    for (;;) {
      std::size_t got = 0;
      bool wouldBlock = false;
      error = socket_.Peek(out.data(), max, got, wouldBlock);
      if (error) break;
      if (!wouldBlock) {
        if (got == 0) error = err::kTimedOut;  // closed by the proxy
        out.resize(got);
        return got > 0;
      }
      // Nothing waiting: block in poll until something is, or the time-out.
      bool ready = false;
      const int64_t ms = static_cast<int64_t>(std::max<int32_t>(session_.Timeout, 0)) * 1000;
      if ((error = socket_.WaitReadable(ms, ready))) break;
      if (!ready) {
        error = err::kTimedOut;
        break;
      }
    }
    out.clear();
    return false;
  }

  bool PeerClosed() override {
    char byte = 0;
    std::size_t got = 0;
    bool wouldBlock = false;
    if (socket_.Peek(&byte, 1, got, wouldBlock) != 0) return true;
    return !wouldBlock && got == 0;
  }

  bool Reconnect() override { return reconnect_(); }

 private:
  CMailClient& session_;
  TcpSocket& socket_;
  std::function<bool()> reconnect_;
};

// Reads exactly n bytes of a fixed-size reply into out.
bool ReadExact(CMailClient& s, ProxyLink& link, std::size_t n, std::string& out) {
  out.clear();
  while (out.size() < n) {
    int error = 0;
    if (!link.Read(out, n - out.size(), error)) return s.RaiseError(error ? error : err::kTimedOut);
  }
  return true;
}

bool WriteRaw(CMailClient& s, ProxyLink& link, std::string_view data) {
  int error = 0;
  if (!link.Write(data, error)) return s.RaiseError(error ? error : LastOsError());
  return true;
}

std::string_view Trim(std::string_view s) { return TrimView(s, kBlanks); }

// A refusal by the proxy: its code in LastResponse, the text in LastError.
bool Refuse(CMailClient& s, int code, const std::string& text) {
  s.LastResponse = std::to_string(code);
  return s.FailWith(text);
}

// Whether a "Connection" or "Proxy-Connection" header of the head lists
// close, or an HTTP/1.0 reply does not ask to keep the connection.
bool AnnouncesClose(std::string_view head) {
  bool keepAlive = false;
  for (std::string_view name : {"Proxy-Connection", "Connection"}) {
    std::string value;
    if (!HeaderValue(head, name, value)) continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      std::size_t comma = rest.find(',');
      std::string_view token = Trim(rest.substr(0, comma));
      if (StartsWithNoCase(token, "close")) return true;
      if (EqualsNoCase(token, "keep-alive")) keepAlive = true;
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return StartsWithNoCase(head, "HTTP/1.0") && !keepAlive;
}

// The value of every header called name, in order.
std::vector<std::string> AllHeaderValues(std::string_view head, std::string_view name) {
  std::vector<std::string> values;
  std::size_t from = 0;
  std::string value;
  std::size_t end = 0;
  // Each search restarts at a line start just after the last value found.
  while (from < head.size() && HeaderValue(head.substr(from), name, value, &end)) {
    values.push_back(value);
    if (end == 0) break;
    from += end;
  }
  return values;
}

// A decimal header value as a byte count: 0 for anything that is not a
// positive number, capped far beyond any real body.
std::uint64_t ByteCount(std::string_view text) {
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = std::min<std::uint64_t>(n * 10 + static_cast<std::uint64_t>(c - '0'), std::uint64_t{1} << 62);
  }
  return n;
}

bool DropBytes(CMailClient& s, ProxyLink& link, std::uint64_t n) {
  std::string piece;
  while (n > 0) {
    piece.clear();
    int error = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, kDropPiece));
    if (!link.Read(piece, want, error)) return s.RaiseError(error ? error : err::kTimedOut);
    n -= piece.size();
  }
  return true;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

const char* Socks5Text(int r) {
  switch (r) {
    case 1: return "General SOCKS server failure.";
    case 2: return "Connection not allowed by ruleset.";
    case 3: return "Network unreachable.";
    case 4: return "Host unreachable.";
    case 5: return "Connection refused.";
    case 6: return "TTL expired.";
    case 7: return "Command not supported.";
    case 8: return "Address type not supported.";
    default: return "Unknown error with socks5 proxy server.";
  }
}

bool Socks5Refuse(CMailClient& s, int code, std::string_view text) {
  return Refuse(s, code, "Socks5 Proxy: " + std::string(text) + "\r\nNativeErrorCode: " +
                             std::to_string(code) + "\r\n");
}

// The host as it stands in a CONNECT line: an IPv6 address in brackets.
std::string Authority(const std::string& host, int port) {
  const bool ipv6 = NumericAddressBytes(host).size() == 16;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool HttpRefuse(CMailClient& s, int code, std::string_view head) {
  return Refuse(s, code, "Http Proxy: " + std::string(head) + "\r\nNativeErrorCode:" +
                             std::to_string(code) + "\r\n");
}

// Sends one CONNECT request; a Basic authorization is logged masked.
bool SendConnect(ProxyLink& link, const std::string& host, int port,
                 std::string_view scheme, std::string_view token) {
  std::string authorization = token.empty() ? std::string() : std::string(scheme) + " " + std::string(token);
  std::string request = proxy::HttpConnectRequest(host, port, authorization);
  if (scheme == "Basic") {
    std::string masked = proxy::HttpConnectRequest(host, port, "Basic ******");
    return link.SendLogged(request, masked);
  }
  return link.SendLogged(request, request);
}

// The NTLM login of an HTTP proxy: negotiate and authenticate tokens in
// "Proxy-Authorization: NTLM" lines, the challenge in the 407 between them.
//   C: CONNECT ... Proxy-Authorization: NTLM <negotiate>     S: 407, Proxy-Authenticate: NTLM <challenge>
//   C: CONNECT ... Proxy-Authorization: NTLM <authenticate>  S: 200
bool HttpNtlm(CMailClient& s, const CMailServer& server, int port, ProxyLink& link) {
  if (!SendConnect(link, server.Server, port, "NTLM", Base64Encode(auth::NtlmNegotiate()))) return false;
  int status = 500;
  std::string head;
  if (!ReadProxyReply(s, link, status, head)) return false;
  if (status < 400 || status > 499) return HttpRefuse(s, status, head);
  std::vector<std::string> offers = AllHeaderValues(head, "Proxy-Authenticate");
  if (offers.empty()) return HttpRefuse(s, status, head);
  // The challenge is the NTLM offer; a proxy that lists another scheme
  // first still gets its challenge read.
  std::string value = offers.front();
  for (const std::string& offer : offers)
    if (StartsWithNoCase(offer, "NTLM")) {
      value = offer;
      break;
    }
  std::string_view text = value;
  if (StartsWithNoCase(text, "NTLM")) text.remove_prefix(4);
  std::vector<std::uint8_t> token = Base64Decode(Trim(text));
  auth::NtlmChallenge challenge;
  std::string problem;
  if (!auth::ParseNtlmChallenge(token, challenge, problem))
    return s.FailWith("NativeErrorCode: " + std::to_string(kInvalidToken) +
                      " NTLMThe token supplied to the function is invalid (" + problem + ")\r\n");
  auth::NtlmIdentity identity = auth::SplitNtlmUser(server.SocksProxyUser, server.SocksProxyPassword);
  std::string answer = Base64Encode(auth::NtlmAuthenticate(challenge, identity, ComputerName()));
  if (!SendConnect(link, server.Server, port, "NTLM", answer)) return false;
  if (!ReadProxyReply(s, link, status, head)) return false;
  if (status != 200) return HttpRefuse(s, status, head);
  return true;
}

}  // namespace

std::unique_ptr<ProxyLink> MakeSocketProxyLink(CMailClient& session, TcpSocket& socket,
                                               std::function<bool()> reconnect) {
  return std::make_unique<SocketProxyLink>(session, socket, std::move(reconnect));
}

namespace proxy {

std::string Socks4Request(int port, std::string_view ipv4, std::string_view user) {
  std::string out = Bytes({4, 1, (port >> 8) & 0xFF, port & 0xFF});
  out.append(ipv4);
  out.append(user);
  out.push_back('\0');
  return out;
}

bool Socks5Request(const std::string& host, int port, std::string& out) {
  out = Bytes({5, 1, 0});
  std::vector<unsigned char> numeric = NumericAddressBytes(host);
  if (numeric.size() == 4 || numeric.size() == 16) {
    out.push_back(numeric.size() == 4 ? 1 : 4);
    out.append(numeric.begin(), numeric.end());
  } else {
    // The protocol carries a name of up to 255 bytes.
    if (host.size() > 255) return false;
    out.push_back(3);
    out.push_back(static_cast<char>(host.size()));
    out.append(host);
  }
  out.append(Bytes({(port >> 8) & 0xFF, port & 0xFF}));
  return true;
}

int Socks5BoundRest(std::uint8_t type, std::uint8_t first) {
  switch (type) {
    case 1: return 5;           // 3 more address bytes, 2 port bytes
    case 4: return 17;          // 15 more address bytes, 2 port bytes
    case 3: return first + 2;   // the name (its length was the fifth byte), 2 port bytes
    default: return -1;
  }
}

std::string HttpConnectRequest(const std::string& host, int port, std::string_view authorization) {
  const std::string authority = Authority(host, port);
  std::string out = "CONNECT " + authority + " HTTP/1.1\r\n";
  out += "User-Agent: Plinthor Obj Client\r\n";
  out += "Host: " + authority + "\r\n";
  out += "Content-Length: 0\r\n";
  out += "Proxy-Connection: Keep-Alive\r\n";
  if (!authorization.empty()) out.append("Proxy-Authorization: ").append(authorization).append("\r\n");
  out += "\r\n";
  return out;
}

}  // namespace proxy

bool TunnelSocks4(CMailClient& s, const CMailServer& server, int port, ProxyLink& link) {
  std::vector<SocketAddress> addresses;
  if (int e = ResolveHost(server.Server, port, addresses)) return s.RaiseError(e);
  std::vector<unsigned char> ipv4;
  for (const SocketAddress& a : addresses) {
    ipv4 = NumericAddressBytes(NumericHost(a));
    if (ipv4.size() == 4) break;
    ipv4.clear();
  }
  // The request carries IPv4 only.
  if (ipv4.empty()) return s.RaiseError(err::kHostNotFound);

  std::string request =
      proxy::Socks4Request(port, std::string(ipv4.begin(), ipv4.end()), server.SocksProxyUser);
  if (!WriteRaw(s, link, request)) return false;
  std::string reply;
  if (!ReadExact(s, link, 8, reply)) return false;
  const int code = static_cast<unsigned char>(reply[1]);
  if (code == 90) {
    s.WriteLog("Socks4 proxy server connected target server successfully.\r\n");
    return true;
  }
  std::string text;
  switch (code) {
    case 91: text = "Socks4 Proxy: Request rejected or failed.\r\nNativeErrorCode: 91\r\n"; break;
    case 92:
      text = "Socks4 Proxy: Request rejected becasue SOCKS server cannot connect to identd on the "
             "client.\r\nNativeErrorCode: 92\r\n";
      break;
    case 93:
      text = "Socks4 Proxy: Request rejected because the client program and identd report different "
             "user-ids.\r\nNativeErrorCode: 93\r\n";
      break;
    default:
      text = "Socks4 Proxy: Unknown error with socks4 proxy server.\r\nNativeErrorCode: " +
             std::to_string(code) + " \r\n";
      break;
  }
  return Refuse(s, code, text);
}

bool TunnelSocks5(CMailClient& s, const CMailServer& server, int port, ProxyLink& link) {
  const std::string& user = server.SocksProxyUser;
  const std::string& password = server.SocksProxyPassword;
  // Refused before anything is sent: the request has one length byte.
  std::string request;
  if (!proxy::Socks5Request(server.Server, port, request))
    return s.FailWith("Socks5 Proxy: The target host name is longer than 255 bytes.\r\nNativeErrorCode: " +
                      std::to_string(kNameTooLong) + "\r\n");

  const bool offerLogin = !user.empty() && !password.empty();
  if (!WriteRaw(s, link, offerLogin ? Bytes({5, 2, 0, 2}) : Bytes({5, 1, 0}))) return false;
  std::string reply;
  if (!ReadExact(s, link, 2, reply)) return false;
  const int method = static_cast<unsigned char>(reply[1]);
  if (method == 255)
    return Socks5Refuse(s, 255, "None of the authentication method was accepted by socks5 proxy server.");
  if (method == 2) {
    if (user.empty() || password.empty())
      return Socks5Refuse(s, 2, "User authentication is required by socks5 proxy server.");
    if (user.size() > 255 || password.size() > 255)
      return s.FailWith("Socks5 Proxy: The proxy user name or password is longer than 255 bytes.\r\n"
                        "NativeErrorCode: " + std::to_string(kNameTooLong) + "\r\n");
    std::string login = Bytes({1, static_cast<int>(user.size())}) + user +
                        Bytes({static_cast<int>(password.size())}) + password;
    if (!WriteRaw(s, link, login)) return false;
    if (!ReadExact(s, link, 2, reply)) return false;
    if (int status = static_cast<unsigned char>(reply[1])) return Socks5Refuse(s, status, "Bad Username/Password.");
  }
  // Any other method goes on as "no authentication".

  if (!WriteRaw(s, link, request)) return false;
  if (!ReadExact(s, link, 5, reply)) return false;
  if (int code = static_cast<unsigned char>(reply[1])) return Socks5Refuse(s, code, Socks5Text(code));
  // The bound address is read to its end, so that the mail server's first
  // byte is the first one the protocol sees.
  const int type = static_cast<unsigned char>(reply[3]);
  const int rest = proxy::Socks5BoundRest(static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(reply[4]));
  if (rest < 0)
    return Socks5Refuse(s, type, "Unknown address type in the reply of socks5 proxy server.");
  std::string bound;
  if (!ReadExact(s, link, static_cast<std::size_t>(rest), bound)) return false;
  s.WriteLog("Socks5 proxy server connected target server successfully.\r\n");
  return true;
}

bool ReadProxyReply(CMailClient& s, ProxyLink& link, int& status, std::string& head) {
  status = 500;
  head.clear();
  // Look at what is waiting without taking it; take only bytes of the head:
  // everything seen when no blank line is among it, or up to the blank line.
  // So the wait that follows blocks until the proxy sends more, and the mail
  // server's first bytes, when they follow at once, stay in the socket.
  std::string seen;
  for (;;) {
    std::string peeked;
    int error = 0;
    if (!link.Peek(peeked, kPeekWindow, error)) return s.RaiseError(error ? error : err::kTimedOut);
    const std::size_t old = seen.size();
    seen += peeked;
    const std::size_t end = seen.find(kHeadEnd, old >= 3 ? old - 3 : 0);
    const std::size_t take = end == std::string::npos ? peeked.size() : end + kHeadEnd.size() - old;
    std::string taken;
    if (!ReadExact(s, link, take, taken)) return false;
    seen.resize(old + take);
    if ((end == std::string::npos ? seen.size() : end) > kMaxProxyHead)
      return Refuse(s, 500, "Http Proxy: Reply head longer than " + std::to_string(kMaxProxyHead) +
                                " bytes\r\nNativeErrorCode: 500\r\n");
    if (end != std::string::npos) break;
  }
  head = seen.substr(0, seen.size() - kHeadEnd.size());

  const std::size_t space = head.find(' ');
  if (space == std::string::npos)
    return Refuse(s, 500, "Http Proxy: " + head + "\r\nNativeErrorCode: 500\r\n");
  std::size_t stop = space + 1;
  while (stop < head.size() && head[stop] != ' ' && head[stop] != '\t' && head[stop] != '\r' &&
         head[stop] != '\n')
    ++stop;
  if (stop == head.size())
    return Refuse(s, 500, "Http Proxy:: " + head + "\r\nNativeErrorCode: 500\r\n");
  // Like a C conversion: leading digits count, anything else gives 0.
  int code = 0;
  for (std::size_t i = space + 1; i < stop && head[i] >= '0' && head[i] <= '9' && code < 100000; ++i)
    code = code * 10 + (head[i] - '0');
  status = code;

  std::string length;
  if (HeaderValue(head, "Content-Length", length)) {
    if (!DropBytes(s, link, ByteCount(length))) return false;
  }
  return true;
}

bool TunnelHttp(CMailClient& s, const CMailServer& server, int port, ProxyLink& link) {
  const std::string& user = server.SocksProxyUser;
  const std::string& password = server.SocksProxyPassword;
  if (!SendConnect(link, server.Server, port, "", "")) return false;
  int status = 500;
  std::string head;
  if (!ReadProxyReply(s, link, status, head)) return false;
  if (status == 200) return true;
  if (user.empty() || password.empty()) return HttpRefuse(s, status, head);
  if (status < 400 || status > 499) return HttpRefuse(s, status, head);

  std::string offered;
  for (const std::string& value : AllHeaderValues(head, "Proxy-Authenticate")) offered += value + " ";
  if (offered.empty()) return HttpRefuse(s, status, head);

  // The authorised request needs a connection the proxy still serves. It
  // does not when it said so ("Proxy-Connection: close", or
  // "Connection: close" as some proxies write it), when it has already
  // closed, or when a body without a length runs to the close: in each case
  // the request goes over a new connection, and the old one is dropped with
  // whatever it still holds.
  //   S: HTTP/1.0 407 Proxy Authentication Required
  //   S: Connection: close
  //   S: Proxy-Authenticate: Basic realm="..."
  //   S: <html>... (no Content-Length), then the proxy closes
  std::string value;
  const bool hasLength = HeaderValue(head, "Content-Length", value);
  const bool chunked = HeaderValue(head, "Transfer-Encoding", value);
  if (AnnouncesClose(head) || !hasLength || chunked || link.PeerClosed()) {
    if (!link.Reconnect()) return false;
  }

  for (char& c : offered) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (offered.find("BASIC ") != std::string::npos) {
    const std::string token = Base64Encode(user + ":" + password);
    if (!SendConnect(link, server.Server, port, "Basic", token)) return false;
    if (!ReadProxyReply(s, link, status, head)) return false;
    if (status != 200) return HttpRefuse(s, status, head);
    return true;
  }
  if (offered.find("NTLM ") != std::string::npos) return HttpNtlm(s, server, port, link);
  return HttpRefuse(s, status, head);
}

}  // namespace tarnwick
