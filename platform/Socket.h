// TCP sockets: name resolution for any address family, a non-blocking
// connect bounded by a time-out, and sends and receives that wait in poll()
// until the socket is ready or the time-out runs out. Every function returns
// 0 or the system's error number (platform/Errors.h); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

// One resolved address, ready for connect().
struct SocketAddress {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::vector<unsigned char> bytes;  // the sockaddr as getaddrinfo() gave it
};

// Makes writes to a closed connection fail with an error instead of
// killing the process (once per process; later calls do nothing).
void IgnoreBrokenPipe();

// Resolves host with the port as the service, any address family, stream
// sockets. The addresses are in the resolver's order. A resolver failure
// gives its mapped number; an empty result gives 11001.
int ResolveHost(const std::string& host, int port, std::vector<SocketAddress>& out);

// Numeric host text of an address ("127.0.0.1", "::1").
std::string NumericHost(const SocketAddress& address);

// The bytes of a numeric address text in network order: 4 for an IPv4
// address in dotted decimal, 16 for an IPv6 address; empty for anything
// else (a host name).
std::vector<unsigned char> NumericAddressBytes(const std::string& text);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(TcpSocket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  TcpSocket& operator=(TcpSocket&& o) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  // Creates a non-blocking socket for the address and connects it, waiting
  // at most timeoutMs for the connection to stand (10060 when it does not).
  // On failure the socket is closed again. The socket stays non-blocking.
  int Connect(const SocketAddress& address, int64_t timeoutMs);

  // Sends up to size bytes, waiting at most timeoutMs for room in the
  // socket's buffer. sent receives the count written (at least 1 on success).
  int Send(const void* data, std::size_t size, int64_t timeoutMs, std::size_t& sent);

  // Waits at most timeoutMs until data (or the end of the stream) is
  // waiting. ready tells which. A negative timeoutMs waits without limit.
  int WaitReadable(int64_t timeoutMs, bool& ready);

  // Receives what is waiting, up to capacity bytes, without blocking.
  // received is 0 when the peer closed the connection; wouldBlock is set
  // when nothing was waiting.
  int Receive(void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock);
  // Copies what is waiting, up to capacity bytes, without consuming it and
  // without blocking; received and wouldBlock as for Receive.
  int Peek(void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock);

  // Acknowledge received data at once instead of after the delayed-ACK
  // wait. Over a relay that holds back small writes until the previous one
  // is acknowledged (Nagle), each reply would otherwise wait out the
  // receiver's delayed ACK. Lasts until Close.
  void SetQuickAck(bool on) { quickAck_ = on; }

  // Numeric host text of this end and of the peer; 0 or the error number.
  int LocalAddress(std::string& out) const;
  int PeerAddress(std::string& out) const;

  // The socket's pending error (SO_ERROR), mapped; 0 when none.
  int PendingError() const;

  // Shuts down the sending direction and closes the socket.
  void Close();

 private:
  int fd_ = -1;
  bool quickAck_ = false;
};

}  // namespace tarnwick
