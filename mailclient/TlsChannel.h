// The TLS layer of a session: a client TLS connection run over the
// session's transport (the TCP socket or a proxy tunnel) through memory
// buffers, so that every socket read and write, with its time-out, stays the
// transport's. The server's certificate is not checked; the server name is
// sent for name-based hosting.
//
// Ciphertext that arrived together with the end of the handshake, or after
// the end of a record, is kept and used before the socket is read again; it
// counts as waiting data (HasPending).
//
// A server that asks for a new handshake once the connection is up fails the
// receive that meets the request (kRenegotiate); no new handshake is started.
#pragma once

#include "mailclient/RawChannel.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick {

class TlsChannel final : public SecureChannel {
 public:
  // Receives the handshake's protocol log lines.
  using LogFn = std::function<void(std::string_view)>;

  // Plaintext per record sent: the largest record payload less one.
  static constexpr std::size_t kMaxPiece = 16383;

  TlsChannel(RawChannel& transport, LogFn log);
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Runs the client handshake with serverName as the name sent to the
  // server. Writes "_CreateCredentials for SSL connection", "_ClientHandshake
  // for SSL connection" and "_ClientHandshakeLoop for SSL connection" to the
  // log. On failure returns false with failure set to the session's error
  // text: "NativeErrorCode: %d SSL" followed by the error's text and CR LF.
  bool Handshake(const std::string& serverName, std::string& failure);

  // Encrypts data in records of at most kMaxPiece bytes and sends them.
  // error: the transport's error number, or the TLS library's error code.
  bool EncryptSend(std::string_view data, int& error);
  // Appends the plaintext of the next record (at most max bytes; the rest
  // of a longer record is kept for the next call). Waits on the transport
  // only when nothing is held. A connection closed by the server fails with
  // 10060 like a closed socket.
  bool DecryptReceive(std::string& out, std::size_t max, int& error);
  // Drops the connection state and everything held. No close notification
  // is sent.
  void ReleaseTls();

  // The byte stream interface, for the session's send and receive.
  bool WriteAll(std::string_view data, int& error) override { return EncryptSend(data, error); }
  bool ReadSome(std::string& out, std::size_t max, int& error) override {
    return DecryptReceive(out, max, error);
  }
  // True when a read would return data without waiting on the transport.
  bool HasPending() const override;

  bool Established() const;
  // The TLS library's text for the last failure of a send or receive that
  // was not a transport failure; empty otherwise.
  const std::string& LastTlsError() const override { return last_error_; }

  // The error of a receive that met the server's request to renegotiate,
  // which this channel does not take part in.
  static constexpr int kRenegotiate = 0x00090321;

 private:
  struct State;
  bool Flush(int& error);
  bool Feed(int& error);
  bool DecryptInto(std::string& out, std::size_t max, int& error) const;

  RawChannel& transport_;
  LogFn log_;
  std::unique_ptr<State> state_;
  mutable std::string plain_;  // bytes decrypted ahead by HasPending, not yet handed out
  mutable std::size_t plainStart_ = 0;  // how much of plain_ was handed out
  std::string cipher_;         // the transport's last read, reused
  mutable std::string last_error_;
  mutable int held_error_ = 0;  // a failure found by HasPending, reported by the next read
};

}  // namespace tarnwick
