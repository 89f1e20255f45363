#include "platform/LocalSocket.h"

#include "platform/Errors.h"
#include "platform/FdIo.h"
#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace tarnwick {

namespace {

using fdio::MonotonicMs;

int ClampMs(int64_t ms) { return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms); }
using fdio::PollFor;
using fdio::SetNonBlocking;

int MakeAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return err::kInvalidName;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return 0;
}

// The group administrators join to reach the control socket; -1 when the
// system has no such group.
gid_t ControlGroup() {
  group g{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  if (::getgrnam_r("tarnwick", &g, buf.data(), buf.size(), &found) != 0 || !found)
    return static_cast<gid_t>(-1);
  return found->gr_gid;
}

}  // namespace

LocalSocket& LocalSocket::operator=(LocalSocket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

int LocalSocket::Connect(const std::string& path, int64_t busyWaitMs) {
  Close();
  sockaddr_un addr;
  if (int e = MakeAddress(path, addr)) return e;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastOsError();
  fd_ = fd;
  // A blocking connect to a listener whose backlog is full sleeps in the
  // kernel until a slot frees or the send time-out runs out (then EAGAIN).
  // Without a wait the socket connects non-blocking and fails at once.
  if (busyWaitMs > 0) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(busyWaitMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((busyWaitMs % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
      int e = LastOsError();
      Close();
      return e;
    }
  } else if (int e = SetNonBlocking(fd)) {
    Close();
    return e;
  }
  const int64_t deadline = MonotonicMs() + (busyWaitMs > 0 ? busyWaitMs : 0);
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    int e = errno;
    if (e == EINTR && MonotonicMs() < deadline) continue;
    Close();
    if (e == EAGAIN || e == EINTR) return err::kTimedOut;
    return FromErrno(e);
  }
  timeval none{};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  if (int e = SetNonBlocking(fd)) {
    Close();
    return e;
  }
  return 0;
}

int LocalSocket::WaitReadable(int64_t timeoutMs, bool& ready) {
  ready = false;
  if (fd_ < 0) return err::kNotConnected;
  short revents = 0;
  if (int e = PollFor(fd_, POLLIN, timeoutMs, revents)) return e;
  ready = revents != 0;
  return 0;
}

int LocalSocket::WaitWritable(int64_t timeoutMs, bool& ready) {
  ready = false;
  if (fd_ < 0) return err::kNotConnected;
  short revents = 0;
  if (int e = PollFor(fd_, POLLOUT, timeoutMs, revents)) return e;
  ready = revents != 0;
  return 0;
}

int LocalSocket::Read(void* buffer, std::size_t capacity, std::size_t& received,
                      bool& wouldBlock) {
  received = 0;
  wouldBlock = false;
  if (fd_ < 0) return err::kNotConnected;
  return fdio::RecvSome(fd_, buffer, capacity, received, wouldBlock);
}

int LocalSocket::Write(const void* data, std::size_t size, std::size_t& written,
                       bool& wouldBlock) {
  written = 0;
  wouldBlock = false;
  if (fd_ < 0) return err::kNotConnected;
  return fdio::SendSome(fd_, data, size, written, wouldBlock);
}

void LocalSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int LocalListener::Listen(const std::string& path, int backlog) {
  Close();
  sockaddr_un addr;
  if (int e = MakeAddress(path, addr)) return e;
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (int e = MakeFolders(path.substr(0, slash), 0755)) return e;
  }
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return LastOsError();
  fd_ = fd;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int e = LastOsError();
    ::close(fd);
    fd_ = -1;
    return e;
  }
  path_ = path;
  // Nobody can connect before listen(), so the mode is right before the
  // first client arrives.
  gid_t group = ControlGroup();
  bool grouped = group != static_cast<gid_t>(-1) && ::chown(path.c_str(), static_cast<uid_t>(-1), group) == 0;
  if (::chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || ::listen(fd, backlog) != 0) {
    int e = LastOsError();
    Close();
    return e;
  }
  return 0;
}

int LocalListener::Accept(LocalSocket& out, bool& wouldBlock) {
  wouldBlock = false;
  out.Close();
  if (fd_ < 0) return err::kNotConnected;
  for (;;) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      out.fd_ = fd;
      return 0;
    }
    if (errno == EINTR) continue;
    // A client that gave up before being accepted is nothing to report.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      wouldBlock = true;
      return 0;
    }
    return LastOsError();
  }
}

void LocalListener::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  fd_ = -1;
  path_.clear();
}

Poller::Poller() {
  epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) {
    status_ = LastOsError();
    return;
  }
  wakefd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakefd_ < 0) {
    status_ = LastOsError();
    return;
  }
  status_ = Add(wakefd_, kWakeTag, true, false);
}

Poller::~Poller() {
  if (wakefd_ >= 0) ::close(wakefd_);
  if (epfd_ >= 0) ::close(epfd_);
}

namespace {

epoll_event MakeEvent(uint64_t tag, bool read, bool write) {
  epoll_event ev{};
  ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
  ev.data.u64 = tag;
  return ev;
}

}  // namespace

int Poller::Add(int handle, uint64_t tag, bool read, bool write) {
  if (epfd_ < 0) return status_;
  epoll_event ev = MakeEvent(tag, read, write);
  return ::epoll_ctl(epfd_, EPOLL_CTL_ADD, handle, &ev) == 0 ? 0 : LastOsError();
}

int Poller::Modify(int handle, uint64_t tag, bool read, bool write) {
  if (epfd_ < 0) return status_;
  epoll_event ev = MakeEvent(tag, read, write);
  return ::epoll_ctl(epfd_, EPOLL_CTL_MOD, handle, &ev) == 0 ? 0 : LastOsError();
}

int Poller::Remove(int handle) {
  if (epfd_ < 0) return status_;
  return ::epoll_ctl(epfd_, EPOLL_CTL_DEL, handle, nullptr) == 0 ? 0 : LastOsError();
}

int Poller::Wait(int64_t timeoutMs, std::vector<Event>& events) {
  events.clear();
  if (epfd_ < 0) return status_;
  epoll_event ready[64];
  const int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
  int n;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - MonotonicMs();
      wait = ClampMs(left < 0 ? 0 : left);
    }
    n = ::epoll_wait(epfd_, ready, 64, wait);
    if (n >= 0) break;
    if (errno != EINTR) return LastOsError();
  }
  for (int i = 0; i < n; ++i) {
    Event e;
    e.tag = ready[i].data.u64;
    if (e.tag == kWakeTag) {
      uint64_t count;
      while (::read(wakefd_, &count, sizeof count) > 0) {
      }
    }
    e.readable = (ready[i].events & EPOLLIN) != 0;
    e.writable = (ready[i].events & EPOLLOUT) != 0;
    e.hangup = (ready[i].events & (EPOLLERR | EPOLLHUP)) != 0;
    events.push_back(e);
  }
  return 0;
}

void Poller::Wake() {
  if (wakefd_ < 0) return;
  uint64_t one = 1;
  ssize_t n = ::write(wakefd_, &one, sizeof one);
  (void)n;
}

}  // namespace tarnwick
