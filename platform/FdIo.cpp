#include "platform/FdIo.h"

#include "platform/Errors.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

namespace tarnwick::fdio {

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int PollFor(int fd, short events, int64_t timeoutMs, short& revents) {
  const int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
  for (;;) {
    pollfd p{fd, events, 0};
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - MonotonicMs();
      if (left < 0) left = 0;
      wait = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
    }
    int n = ::poll(&p, 1, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastOsError();
    }
    if (n == 0 && deadline >= 0 && MonotonicMs() < deadline) continue;
    revents = n == 0 ? 0 : p.revents;
    return 0;
  }
}

int SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return LastOsError();
  return 0;
}

int RecvSome(int fd, void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock, int flags) {
  received = 0;
  wouldBlock = false;
  for (;;) {
    ssize_t n = ::recv(fd, buffer, capacity, flags);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wouldBlock = true;
      return 0;
    }
    return LastOsError();
  }
}

int SendSome(int fd, const void* data, std::size_t size, std::size_t& written, bool& wouldBlock) {
  written = 0;
  wouldBlock = false;
  for (;;) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) {
      written = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wouldBlock = true;
      return 0;
    }
    return LastOsError();
  }
}

}  // namespace tarnwick::fdio
