#include "mailclient/MailClient.h"

#include "mailclient/ProxyTunnel.h"
#include "mailclient/TlsChannel.h"
#include "message/MessageDate.h"
#include "platform/AsciiText.h"
#include "platform/Errors.h"
#include "platform/ConfinedFile.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tarnwick {

namespace {

// Receives take at most this much; plain sends go out in pieces of at most
// kSendPiece bytes, each logged before it is sent.
constexpr std::size_t kReceiveChunk = 8195;
constexpr std::size_t kSendPiece = 8194;
// A reply read with ReadUntil that grows past this is garbage, not mail.
constexpr std::size_t kMaxReply = 256u << 20;

// The transport over the session's TCP socket. Every wait blocks in poll()
// until the socket is ready or the session's time-out has passed.
class SocketChannel final : public RawChannel {
 public:
  SocketChannel(TcpSocket& socket, const int32_t& timeoutSeconds)
      : socket_(socket), timeout_(timeoutSeconds) {}

  bool WriteAll(std::string_view data, int& error) override {
    while (!data.empty()) {
      std::size_t sent = 0;
      error = socket_.Send(data.data(), data.size(), TimeoutMs(), sent);
      if (error) return false;
      data.remove_prefix(sent);
    }
    return true;
  }

  bool ReadSome(std::string& out, std::size_t max, int& error) override {
    error = 0;
    // Data that is already waiting is taken at once; the wait comes only
    // when the socket has nothing, so a busy download costs one call per piece.
    for (;;) {
      const std::size_t old = out.size();
      out.resize(old + max);
      std::size_t got = 0;
      bool wouldBlock = false;
      error = socket_.Receive(out.data() + old, max, got, wouldBlock);
      out.resize(old + got);
      if (error) return false;
      if (!wouldBlock) {
        if (got == 0) {  // closed by the peer
          error = err::kTimedOut;
          return false;
        }
        return true;
      }
      bool ready = false;
      if ((error = socket_.WaitReadable(TimeoutMs(), ready))) return false;
      if (!ready) {
        error = err::kTimedOut;
        return false;
      }
    }
  }

 private:
  int64_t TimeoutMs() const { return static_cast<int64_t>(std::max<int32_t>(timeout_, 0)) * 1000; }

  TcpSocket& socket_;
  const int32_t& timeout_;
};

bool IsWordEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The word of line that starts at from, up to the next blank, CR or LF.
std::string WordAt(std::string_view line, std::size_t from) {
  std::size_t end = from;
  while (end < line.size() && !IsWordEnd(line[end])) ++end;
  return std::string(line.substr(from, end - from));
}

// IMAP4 status of one line: the word after the tag, or the first word when
// no tag is given.
std::string ImapStatus(std::string_view line, bool tagged) {
  if (line.empty()) return "BAD";
  std::size_t cut = 0;
  while (cut < line.size() && !IsWordEnd(line[cut])) ++cut;
  if (cut == line.size()) return "BAD";
  if (!tagged) {
    std::string first(line.substr(0, cut));
    return first.empty() ? std::string(line) : first;
  }
  std::size_t from = cut;
  while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) ++from;
  std::string word = WordAt(line, from);
  return word.empty() ? "BAD" : word;
}

const char* AuthName(int32_t v) {
  switch (v) {
    case AuthCRAM5: return "AuthCRAM5";
    case AuthNTLM: return "AuthNTLM";
    default: return "AuthLogin";
  }
}

const char* SslTypeName(int32_t v) {
  switch (v) {
    case ConnectSSL: return "ConnectSSL";
    case ConnectTLS: return "ConnectTLS";
    default: return "ConnectSSLAuto";
  }
}

const char* ProtocolName(int32_t v) {
  switch (v) {
    case Imap4: return "Imap4";
    case ExchangeEws: return "Exchange Web Service";
    case ExchangeWebDav: return "Exchange WebDAV";
    default: return "Pop3";
  }
}

const char* ProxyName(int32_t v) {
  switch (v) {
    case Socks4: return "Socks4";
    case Http: return "Http";
    default: return "Socks5";
  }
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::string DescribeSettings(const CMailServer& s) {
  std::string out;
  auto line = [&out](std::string_view label, std::string_view value) {
    out.append(label).append(value).append("\r\n");
  };
  line("Server: ", s.Server);
  line("Port: ", std::to_string(s.Port));
  line("AuthType: ", s.OAuth2 ? (s.OAuth2Mechanism == OAuthBearer ? "OAUTHBEARER" : "XOAUTH2")
                               : AuthName(s.AuthType));
  line("User: ", s.User);
  line("Password: ", s.Password.empty() ? "" : "******");
  line("SSLConnection: ", s.SSLConnection ? "True" : "False");
  line("SSLType: ", SslTypeName(s.SSLType));
  line("Protocol: ", ProtocolName(s.Protocol));
  line("SocksProxyServer: ", s.SocksProxyServer);
  line("SocksProxyPort: ", std::to_string(s.SocksProxyPort));
  line("SocksProxyUser: ", s.SocksProxyUser);
  line("SocksProxyPassword: ", s.SocksProxyPassword.empty() ? "" : "******");
  line("ProxyProtocol: ", ProxyName(s.ProxyProtocol));
  return out;
}

CMailServer NormaliseSettings(const CMailServer& in) {
  CMailServer s;
  s.Server = in.Server;
  s.Port = in.Port < 0 ? 110 : in.Port;
  s.User = in.User;
  s.Password = in.Password;
  s.AuthType = in.AuthType >= AuthLogin && in.AuthType <= AuthNTLM ? in.AuthType : AuthLogin;
  s.Protocol = in.Protocol >= Pop3 && in.Protocol <= ExchangeWebDav ? in.Protocol : Pop3;
  s.ProxyProtocol = in.ProxyProtocol >= Socks4 && in.ProxyProtocol <= Http ? in.ProxyProtocol : Socks5;
  s.SSLType = in.SSLType >= ConnectSSLAuto && in.SSLType <= ConnectTLS ? in.SSLType : ConnectSSLAuto;
  s.SSLConnection = in.SSLConnection;
  s.SocksProxyServer = in.SocksProxyServer;
  s.SocksProxyPort = in.SocksProxyPort < 0 ? 1080 : in.SocksProxyPort;
  s.SocksProxyUser = in.SocksProxyUser;
  s.SocksProxyPassword = in.SocksProxyPassword;
  s.OAuth2 = in.OAuth2;
  s.OAuth2Mechanism = in.OAuth2Mechanism == OAuthBearer ? OAuthBearer : OAuthXoauth2;
  // LocalUser, LocalDomain and DistributeType belong to the pull job.
  return s;
}

CMailClient::CMailClient() = default;

CMailClient::~CMailClient() { Close(); }

int32_t CMailClient::Fail() {
  Quiet = false;
  return kMailFailure;
}

int32_t CMailClient::Connect(const CMailServer* oServer) {
  if (!oServer) {
    RaiseError(err::kInvalidParameter, "Connect [oServer]");
    return Fail();
  }
  ServerCopy = NormaliseSettings(*oServer);
  Transcript.clear();
  Transcript.reserve(2048);
  // The engine runs as root and the name comes from an account setting, so
  // the protocol log may only go inside the log folder.
  std::string logName;
  if (!LogFileName.empty() && ConfinedRelativeName(ProtocolLogFolder(), LogFileName, logName) != 0) {
    FailWith("LogFileName \"" + LogFileName + "\" refused: a protocol log must be a file inside " +
             ProtocolLogFolder() + "\r\n");
    return Fail();
  }
  WriteLog("\r\n" + MessageDateNow() + "\r\n" + DescribeSettings(*ServerCopy) + "\r\n");
  Command.clear();
  Connected = false;
  LastResponse.clear();

  protocol_ = MakeMailProtocol(ServerCopy->Protocol);
  if (!protocol_) {
    FailWith(std::string("Protocol not available: ") + ProtocolName(ServerCopy->Protocol) + "\r\n");
    return Fail();
  }
  bool ok;
  if (protocol_->UsesStream()) {
    ok = ConnectStream();
  } else {
    Close();
    Folders.clear();
    Delimiter = '/';
    ok = protocol_->Open(*this);
  }
  if (!ok) return Fail();
  Connected = true;
  return 0;
}

bool CMailClient::ConnectStream() {
  Listed = false;
  const CMailServer& s = *ServerCopy;
  const int port = s.Port == 0 ? 110 : s.Port;
  const int proxyPort = s.SocksProxyPort == 0 ? 1080 : s.SocksProxyPort;
  ReleaseTls();
  Quiet = false;
  Secured = false;

  // A line break in a credential would let the account's settings inject
  // commands into the login; refuse before anything goes out.
  if (HasLineBreak(s.User) || HasLineBreak(s.Password))
    return FailWith("Login refused: the user name or password contains a line break (CR or LF)\r\n");

  if (!s.SocksProxyServer.empty()) {
    WriteLog("Connecting Proxy " + s.SocksProxyServer + " " + std::to_string(proxyPort) + "\r\n");
    if (!OpenTcp(s.SocksProxyServer, proxyPort)) return false;
    if (!BuildProxyTunnel(s.Server, port)) return false;
  } else {
    WriteLog("Connecting " + s.Server + " " + std::to_string(port) + "\r\n");
    if (!OpenTcp(s.Server, port)) return false;
  }
  Report("Connected");

  if (!s.SSLConnection) {
    if (!protocol_->ReadGreeting(*this)) return false;
  } else {
    int32_t mode = s.SSLType;
    if (mode == ConnectSSLAuto) mode = port == protocol_->PlainPort() ? ConnectTLS : ConnectSSL;
    if (mode == ConnectSSL) {
      if (!StartTls()) return false;
      if (!protocol_->ReadGreeting(*this)) return false;
    } else {
      // Upgrade after the greeting; no second greeting follows the handshake.
      if (!protocol_->ReadGreeting(*this)) return false;
      if (!protocol_->RequestTls(*this)) return false;
      if (!StartTls()) return false;
    }
  }

  if (!protocol_->Login(*this)) return false;
  Report("Authorized");
  return protocol_->AfterLogin(*this);
}

bool CMailClient::OpenTcp(const std::string& host, int port) {
  Close();
  std::vector<SocketAddress> addresses;
  if (int e = ResolveHost(host, port, addresses)) return RaiseError(e);
  const int64_t timeoutMs = static_cast<int64_t>(std::max<int32_t>(Timeout, 0)) * 1000;
  for (const SocketAddress& a : addresses) {
    int e = socket_.Connect(a, timeoutMs);
    if (e == 0) {
      WriteLog("Connected\r\n");
      transport_ = std::make_unique<SocketChannel>(socket_, Timeout);
      return true;
    }
    RaiseError(e);  // recorded; the next address is tried
  }
  return false;
}

// The tunnel to the mail server (ServerCopy's Server, at port) over the
// connection to the proxy; a reconnect opens a new one to the same proxy.
bool CMailClient::BuildProxyTunnel(const std::string& /*host*/, int port) {
  const CMailServer& s = *ServerCopy;
  const std::string proxy = s.SocksProxyServer;
  const int proxyPort = s.SocksProxyPort == 0 ? 1080 : s.SocksProxyPort;
  auto link = MakeSocketProxyLink(*this, socket_, [this, proxy, proxyPort] { return OpenTcp(proxy, proxyPort); });
  bool ok;
  switch (s.ProxyProtocol) {
    case Socks4: ok = TunnelSocks4(*this, s, port, *link); break;
    case Socks5: ok = TunnelSocks5(*this, s, port, *link); break;
    case Http: ok = TunnelHttp(*this, s, port, *link); break;
    default: return RaiseError(err::kHostUnreachable);
  }
  // A relay may hold back its writes until ours are acknowledged.
  if (ok) socket_.SetQuickAck(true);
  return ok;
}

bool CMailClient::StartTls() {
  if (!transport_) return RaiseError(err::kNotConnected, "SSL");
  auto tls = std::make_unique<TlsChannel>(*transport_, [this](std::string_view text) { WriteLog(text); });
  Report("OnSecuring ...");
  std::string failure;
  const bool ok = tls->Handshake(ServerCopy->Server, failure);
  // A failed handshake leaves its state for the next ReleaseTls.
  tls_ = std::move(tls);
  if (!ok) return FailWith(failure);
  Secured = true;
  return true;
}

void CMailClient::ReleaseTls() {
  tls_.reset();
  Secured = false;
}

void CMailClient::Close() {
  Connected = false;
  Listed = false;
  Selected = false;
  Quiet = false;
  ReleaseTls();
  transport_.reset();
  socket_.Close();
}

void CMailClient::SetLogFileName(const char* path) { LogFileName = path ? path : ""; }

bool CMailClient::IsUsable() const {
  if (!ServerCopy || !Connected) return false;
  if (protocol_ && !protocol_->UsesStream()) return true;
  return socket_.IsOpen();
}

std::string CMailClient::LocalAddress() const {
  std::string text;
  if (socket_.IsOpen()) socket_.LocalAddress(text);
  return text;
}

std::string CMailClient::PeerAddress() const {
  std::string text;
  if (socket_.IsOpen()) socket_.PeerAddress(text);
  return text;
}

int32_t CMailClient::GetMailList() {
  if (!IsUsable()) {
    RaiseError(err::kNotConnected);
    return Fail();
  }
  LastResponse.clear();
  if (Listed) return 0;
  if (!protocol_->List(*this)) return Fail();
  return 0;
}

int32_t CMailClient::DeleteMail(const CMailInfo* oInfo) {
  if (!IsUsable()) {
    RaiseError(err::kNotConnected);
    return Fail();
  }
  if (!oInfo) {
    RaiseError(err::kInvalidParameter, "Delete [oInfo]");
    return Fail();
  }
  LastResponse.clear();
  if (!protocol_->Delete(*this, *oInfo)) return Fail();
  return 0;
}

bool CMailClient::RetrieveMail(const CMailInfo* oInfo, std::string& content) {
  content.clear();
  if (!IsUsable()) {
    RaiseError(err::kNotConnected);
    Quiet = false;
    return false;
  }
  if (!oInfo) {
    RaiseError(err::kInvalidParameter, "Retrieve [oInfo]");
    return false;
  }
  bool ok = protocol_->Retrieve(*this, *oInfo, content);
  Quiet = false;
  if (!ok) content.clear();
  return ok;
}

void CMailClient::PrefetchMail(const CMailInfo& next) {
  if (IsUsable()) protocol_->Prefetch(*this, next);
}

bool CMailClient::Quit() {
  if (!protocol_) return RaiseError(err::kNotConnected);
  bool ok = protocol_->Quit(*this);
  Quiet = false;
  return ok;
}

bool CMailClient::SendData(std::string_view data) { return Send(data, nullptr); }

bool CMailClient::SendData(std::string_view data, std::string_view logText) { return Send(data, &logText); }

bool CMailClient::Send(std::string_view data, const std::string_view* logText) {
  RawChannel* channel = Secured && tls_ ? static_cast<RawChannel*>(tls_.get()) : transport_.get();
  if (!channel) return RaiseError(err::kNotConnected);
  if (data.empty()) return RaiseError(err::kConnReset);  // a zero-byte send fails
  const bool masked = logText != nullptr;
  if (masked) WriteLog(*logText);
  while (!data.empty()) {
    std::string_view piece = data.substr(0, kSendPiece);
    if (!masked) WriteLog(piece);
    int error = 0;
    if (!channel->WriteAll(piece, error))
      return RaiseChannelError(channel, error ? error : err::kConnReset);
    data.remove_prefix(piece.size());
  }
  return true;
}

bool CMailClient::ReceiveChunk(std::string& buffer) {
  RawChannel* channel = Secured && tls_ ? static_cast<RawChannel*>(tls_.get()) : transport_.get();
  if (!channel) return RaiseError(err::kNotConnected);
  const std::size_t old = buffer.size();
  int error = 0;
  if (!channel->ReadSome(buffer, kReceiveChunk, error)) {
    buffer.resize(old);
    return RaiseChannelError(channel, error ? error : err::kTimedOut);
  }
  if (!Quiet && buffer.size() > old) WriteLog(std::string_view(buffer).substr(old));
  return true;
}

bool CMailClient::RaiseChannelError(const RawChannel* channel, int code) {
  // A failure of the TLS library itself (a bad record, an alert, a request
  // to renegotiate) reads like the handshake's failures: the code, "SSL" and
  // the library's reason.
  if (tls_ && channel == tls_.get() && !tls_->LastTlsError().empty())
    return FailWith("NativeErrorCode: " + std::to_string(code) + " SSL" + tls_->LastTlsError() +
                    "\r\n");
  return RaiseError(code);
}

bool CMailClient::ReceiveExact(char* buffer, std::size_t size) {
  if (!transport_) return RaiseError(err::kNotConnected);
  std::string got;
  got.reserve(size);
  while (got.size() < size) {
    int error = 0;
    if (!transport_->ReadSome(got, size - got.size(), error)) return RaiseError(error ? error : err::kTimedOut);
  }
  std::copy(got.begin(), got.end(), buffer);
  return true;
}

bool CMailClient::ReadUntil(std::string_view terminator, std::string& data) {
  if (!data.empty() && EndsWithNoCase(data, terminator)) return true;
  for (;;) {
    const std::size_t old = data.size();
    if (!ReceiveChunk(data)) return false;
    if (data.size() == old) return RaiseError(err::kTimedOut);  // an empty TLS block
    if (EndsWithNoCase(data, terminator)) return true;
    if (data.size() > kMaxReply) return FailWith("Mail Server: reply too long\r\n");
  }
}

bool CMailClient::ReadResponse(std::string_view tag, std::string& status, std::string& text) {
  status.clear();
  text.clear();
  const bool imap = ServerCopy && ServerCopy->Protocol == Imap4;
  if (imap && !tag.empty()) {
    for (;;) {
      std::string piece;
      if (!ReadUntil("\n", piece)) return false;
      text += piece;
      // Only the last line of each piece is tested for the tag.
      if (piece.size() < 2) continue;
      std::size_t lf = piece.rfind('\n', piece.size() - 2);
      std::string_view last = lf == std::string::npos ? std::string_view(piece)
                                                      : std::string_view(piece).substr(lf + 1);
      if (StartsWithNoCase(last, tag)) {
        status = ImapStatus(last, true);
        return true;
      }
      if (text.size() > kMaxReply) return FailWith("Mail Server: reply too long\r\n");
    }
  }
  if (!ReadUntil("\n", text)) return false;
  if (imap) status = ImapStatus(text, false);
  else status = text.empty() ? "-ERR" : text;
  return true;
}

bool CMailClient::WaitForData(int64_t ms, bool& ready) {
  ready = false;
  if (Secured && tls_ && tls_->HasPending()) {
    ready = true;
    return true;
  }
  if (int e = socket_.WaitReadable(ms, ready)) return RaiseError(e);
  return true;
}

bool CMailClient::RaiseError(int code, std::string_view extra) {
  std::string text = "NativeErrorCode: " + std::to_string(code);
  if (!extra.empty()) text.append(" ").append(extra);
  text += SystemMessage(code);
  text += "\r\n";
  LastError = text;
  WriteLog(LastError);
  return false;
}

bool CMailClient::ServerError(std::string_view status, std::string_view text) {
  LastResponse = std::string(status);
  LastError = "Mail Server: " + std::string(text);
  WriteLog(LastError);
  return false;
}

bool CMailClient::FailWith(std::string text) {
  LastError = std::move(text);
  WriteLog(LastError);
  return false;
}

std::string CMailClient::ProtocolLogFolder() const {
  return LogFolder.empty() ? JoinPath(ApplicationFolder(), "log") : LogFolder;
}

void CMailClient::WriteLog(std::string_view text) {
  if (text.empty()) return;
  Transcript.append(text);
  if (LogFileName.empty()) {
    logFile_.reset();
    return;
  }
  // The file stays open (for appending) while the session lasts and the name
  // stays the same: one open per run instead of one per write.
  if (!logFile_.valid() || logFileOpened_ != LogFileName) {
    logFile_.reset();
    // No symbolic link is followed and nothing outside the log folder is
    // opened; a file that cannot be opened is skipped.
    if (OpenAppendConfined(ProtocolLogFolder(), LogFileName, logFile_) != 0) return;
    logFileOpened_ = LogFileName;
  }
  if (logFile_.WriteAll(text) != 0) logFile_.reset();  // the next write opens it again
}

void CMailClient::Report(const std::string& text) {
  if (Progress) Progress(Label, text);
}

}  // namespace tarnwick
