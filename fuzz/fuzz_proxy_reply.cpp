// Proxy replies on arbitrary bytes: the HTTP reply head reader and the
// SOCKS4 and SOCKS5 reply readers, over a link that hands the input out in
// pieces whose size comes from the input. Every run must end (the input
// runs out as a closed connection) with a result or a clear error.
#include "mailclient/MailClient.h"
#include "mailclient/ProxyTunnel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

class MemoryLink final : public tarnwick::ProxyLink {
 public:
  MemoryLink(tarnwick::CMailClient& s, std::string_view data, std::size_t piece)
      : session_(s), data_(data), piece_(piece) {}

  bool Write(std::string_view, int&) override { return true; }
  bool SendLogged(std::string_view, std::string_view logText) override {
    session_.WriteLog(logText);
    return true;
  }
  bool Read(std::string& out, std::size_t max, int& error) override {
    if (data_.empty()) {
      error = 10060;
      return false;
    }
    std::size_t n = std::min({max, piece_, data_.size()});
    out.append(data_.substr(0, n));
    data_.remove_prefix(n);
    return true;
  }
  bool Peek(std::string& out, std::size_t max, int& error) override {
    if (data_.empty()) {
      error = 10060;
      return false;
    }
    out.assign(data_.substr(0, std::min({max, piece_ * 3, data_.size()})));
    return true;
  }
  bool PeerClosed() override { return data_.empty(); }
  bool Reconnect() override { return ++reconnects_ < 3; }

 private:
  tarnwick::CMailClient& session_;
  std::string_view data_;
  std::size_t piece_;
  int reconnects_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int mode = data[0] % 4;
  const std::size_t piece = 1 + data[1] % 97;
  std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  tarnwick::CMailClient session;
  MemoryLink link(session, input, piece);
  tarnwick::CMailServer server;
  server.Server = (mode & 1) ? "127.0.0.1" : "mail.example.org";
  server.SocksProxyUser = "CORP\\bob";
  server.SocksProxyPassword = "s3cret";
  bool ok = false;
  switch (mode) {
    case 0: {
      int status = 0;
      std::string head;
      ok = tarnwick::ReadProxyReply(session, link, status, head);
      if (ok && head.size() > tarnwick::kMaxProxyHead) __builtin_trap();
      break;
    }
    case 1: ok = tarnwick::TunnelSocks4(session, server, 110, link); break;
    case 2: ok = tarnwick::TunnelSocks5(session, server, 110, link); break;
    default: ok = tarnwick::TunnelHttp(session, server, 143, link); break;
  }
  // A failure always leaves its reason.
  if (!ok && session.LastError.empty()) __builtin_trap();
  // The Basic login never reaches the log in clear or encoded (unless the
  // proxy's own reply, which refusals quote, carries it).
  for (std::string_view secret : {"s3cret", "Q09SUFxib2I6czNjcmV0"})
    if (input.find(secret) == std::string_view::npos &&
        session.Transcript.find(secret) != std::string::npos)
      __builtin_trap();
  return 0;
}
