// The byte stream under a session's protocol code: the TCP connection, or
// the tunnel through a proxy. The TLS channel works on top of one of these,
// so POP3 and IMAP4 never know whether TLS or a proxy is underneath.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

class RawChannel {
 public:
  virtual ~RawChannel() = default;
  // Writes all of data. On failure returns false with error set to the
  // system's error number.
  virtual bool WriteAll(std::string_view data, int& error) = 0;
  // Blocks until data arrives or the session's time-out ends, then appends
  // at most max bytes to out. Returns false with error set (10060 for a
  // time-out or a connection closed by the peer).
  virtual bool ReadSome(std::string& out, std::size_t max, int& error) = 0;
};

// The TLS layer over a session's transport. Besides the byte stream it tells
// whether decrypted bytes are already held, which count as waiting data.
class SecureChannel : public RawChannel {
 public:
  virtual bool HasPending() const = 0;
  // The TLS library's text for the last failed send or receive when the
  // failure was the library's (a bad record, an alert), not the transport's;
  // empty otherwise.
  virtual const std::string& LastTlsError() const = 0;
};

}  // namespace tarnwick
