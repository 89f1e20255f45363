#include "platform/Socket.h"

#include "platform/Errors.h"
#include "platform/FdIo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <mutex>

namespace tarnwick {

namespace {

using fdio::PollFor;

int AddressText(const sockaddr* sa, socklen_t len, std::string& out) {
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
  if (rc != 0) return FromGaiError(rc);
  out = host;
  return 0;
}

}  // namespace

void IgnoreBrokenPipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

int ResolveHost(const std::string& host, int port, std::vector<SocketAddress>& out) {
  out.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) return FromGaiError(rc);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, ::freeaddrinfo);
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    SocketAddress a;
    a.family = ai->ai_family;
    a.socktype = ai->ai_socktype;
    a.protocol = ai->ai_protocol;
    const auto* p = reinterpret_cast<const unsigned char*>(ai->ai_addr);
    a.bytes.assign(p, p + ai->ai_addrlen);
    out.push_back(std::move(a));
  }
  return out.empty() ? err::kHostNotFound : 0;
}

std::string NumericHost(const SocketAddress& address) {
  std::string text;
  AddressText(reinterpret_cast<const sockaddr*>(address.bytes.data()),
              static_cast<socklen_t>(address.bytes.size()), text);
  return text;
}

std::vector<unsigned char> NumericAddressBytes(const std::string& text) {
  unsigned char bytes[16];
  if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) return {bytes, bytes + 4};
  if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) return {bytes, bytes + 16};
  return {};
}

TcpSocket& TcpSocket::operator=(TcpSocket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

int TcpSocket::Connect(const SocketAddress& address, int64_t timeoutMs) {
  Close();
  IgnoreBrokenPipe();
  int fd = ::socket(address.family, address.socktype | SOCK_CLOEXEC, address.protocol);
  if (fd < 0) return LastOsError();
  fd_ = fd;
  if (int e = fdio::SetNonBlocking(fd)) {
    Close();
    return e;
  }
  // Commands are short lines answered one at a time; do not hold them back.
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  const auto* sa = reinterpret_cast<const sockaddr*>(address.bytes.data());
  if (::connect(fd, sa, static_cast<socklen_t>(address.bytes.size())) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) {
    int e = LastOsError();
    Close();
    return e;
  }
  short revents = 0;
  if (int e = PollFor(fd, POLLOUT, timeoutMs, revents)) {
    Close();
    return e;
  }
  if (revents == 0) {
    Close();
    return err::kTimedOut;
  }
  if (int e = PendingError()) {
    Close();
    return e;
  }
  return 0;
}

int TcpSocket::Send(const void* data, std::size_t size, int64_t timeoutMs, std::size_t& sent) {
  sent = 0;
  if (fd_ < 0) return err::kNotConnected;
  for (;;) {
    ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      sent = static_cast<std::size_t>(n);
      return 0;
    }
    if (n == 0) return err::kConnReset;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LastOsError();
    short revents = 0;
    if (int e = PollFor(fd_, POLLOUT, timeoutMs, revents)) return e;
    if (revents == 0) return err::kTimedOut;
    if (revents & (POLLERR | POLLHUP)) {
      int e = PendingError();
      return e ? e : err::kConnReset;
    }
  }
}

int TcpSocket::WaitReadable(int64_t timeoutMs, bool& ready) {
  ready = false;
  if (fd_ < 0) return err::kNotConnected;
  short revents = 0;
  if (int e = PollFor(fd_, POLLIN, timeoutMs, revents)) return e;
  // An error or hang-up counts as readable: the receive reports it.
  ready = revents != 0;
  return 0;
}

int TcpSocket::Receive(void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock) {
  received = 0;
  wouldBlock = false;
  if (fd_ < 0) return err::kNotConnected;
  int e = fdio::RecvSome(fd_, buffer, capacity, received, wouldBlock);
  if (quickAck_ && e == 0 && received > 0) {
    // The kernel drops back to delayed ACKs on its own; set it again.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  return e;
}

int TcpSocket::Peek(void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock) {
  received = 0;
  wouldBlock = false;
  if (fd_ < 0) return err::kNotConnected;
  return fdio::RecvSome(fd_, buffer, capacity, received, wouldBlock, MSG_PEEK | MSG_DONTWAIT);
}

int TcpSocket::LocalAddress(std::string& out) const {
  out.clear();
  if (fd_ < 0) return err::kNotConnected;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return LastOsError();
  return AddressText(reinterpret_cast<sockaddr*>(&ss), len, out);
}

int TcpSocket::PeerAddress(std::string& out) const {
  out.clear();
  if (fd_ < 0) return err::kNotConnected;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return LastOsError();
  return AddressText(reinterpret_cast<sockaddr*>(&ss), len, out);
}

int TcpSocket::PendingError() const {
  if (fd_ < 0) return 0;
  int value = 0;
  socklen_t len = sizeof value;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return LastOsError();
  return value ? FromErrno(value) : 0;
}

void TcpSocket::Close() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  ::close(fd_);
  fd_ = -1;
  quickAck_ = false;
}

}  // namespace tarnwick
