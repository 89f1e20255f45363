// Unix-domain stream sockets (the control pipe's transport), and a readiness
// poller over many descriptors for a server that serves every connection
// from one thread. Every function returns 0 or the system's error number
// (platform/Errors.h); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

// One end of a connected local stream socket. Non-blocking once connected or
// accepted; the waits block in poll().
class LocalSocket {
 public:
  LocalSocket() = default;
  ~LocalSocket() { Close(); }
  LocalSocket(LocalSocket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  LocalSocket& operator=(LocalSocket&& o) noexcept;
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // The descriptor, for registering with a Poller; -1 when closed.
  int Handle() const { return fd_; }

  // Connects to the socket file at path. While the listener's backlog is
  // full the kernel is left to wait for room, at most busyWaitMs; a missing
  // socket (2) or one nobody listens on (10061) fails at once, a backlog
  // that stays full fails with 10060.
  int Connect(const std::string& path, int64_t busyWaitMs);

  // Waits at most timeoutMs (negative: no limit) until data or the end of
  // the stream is waiting (readable) or there is room to write (writable).
  int WaitReadable(int64_t timeoutMs, bool& ready);
  int WaitWritable(int64_t timeoutMs, bool& ready);

  // Reads what is waiting, up to capacity bytes, without blocking. received
  // is 0 when the peer closed; wouldBlock is set when nothing was waiting.
  int Read(void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock);
  // Writes up to size bytes without blocking; wouldBlock is set when there
  // was no room at all.
  int Write(const void* data, std::size_t size, std::size_t& written, bool& wouldBlock);

  void Close();

 private:
  friend class LocalListener;
  int fd_ = -1;
};

// A listening local stream socket.
class LocalListener {
 public:
  LocalListener() = default;
  ~LocalListener() { Close(); }
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Handle() const { return fd_; }
  const std::string& Path() const { return path_; }

  // Binds the socket file at path (its folder is created mode 0755; a stale
  // socket file is removed first) and listens, non-blocking. The file is
  // mode 0660 with the group "tarnwick" when that group exists, otherwise
  // 0600, before any client can connect.
  int Listen(const std::string& path, int backlog = 128);

  // Takes one waiting connection without blocking; wouldBlock is set when
  // none waits. The new socket is non-blocking.
  int Accept(LocalSocket& out, bool& wouldBlock);

  // Stops listening and removes the socket file.
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
};

// Readiness of many descriptors at once (epoll), with a wake-up that another
// thread may trigger to end a wait early.
class Poller {
 public:
  struct Event {
    uint64_t tag = 0;
    bool readable = false;  // data, the end of the stream, or a connection waiting
    bool writable = false;
    bool hangup = false;    // error or hang-up on the descriptor
  };
  // The tag reported for a Wake().
  static constexpr uint64_t kWakeTag = ~uint64_t{0};

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // 0 when the poller could be set up.
  int Status() const { return status_; }

  // Registers handle for the wanted readiness, reported with tag.
  int Add(int handle, uint64_t tag, bool read, bool write);
  int Modify(int handle, uint64_t tag, bool read, bool write);
  int Remove(int handle);

  // Waits at most timeoutMs (negative: no limit) for events; events is
  // replaced by what is ready (empty after a time-out).
  int Wait(int64_t timeoutMs, std::vector<Event>& events);

  // Ends a Wait on another thread (reported with kWakeTag).
  void Wake();

 private:
  int epfd_ = -1;
  int wakefd_ = -1;
  int status_ = 0;
};

}  // namespace tarnwick
