// Descriptor-level helpers shared by the TCP and the local (Unix-domain)
// sockets: readiness waits with a deadline, and non-blocking send and
// receive that report "would block" instead of failing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::fdio {

// Monotonic milliseconds (full width).
int64_t MonotonicMs();

// Waits for events on fd until they come or timeoutMs (negative: no limit)
// has passed, restarting after signals with the time that is left. revents
// is 0 on a time-out. Returns 0 or the system's error number.
int PollFor(int fd, short events, int64_t timeoutMs, short& revents);

int SetNonBlocking(int fd);

// One recv/send on a non-blocking descriptor. wouldBlock is set (and 0
// returned) when nothing can move now; otherwise the count moved is
// returned through the size argument (0 from RecvSome: the peer closed).
// flags are recv() flags (MSG_PEEK to look without taking).
int RecvSome(int fd, void* buffer, std::size_t capacity, std::size_t& received, bool& wouldBlock,
             int flags = 0);
int SendSome(int fd, const void* data, std::size_t size, std::size_t& written, bool& wouldBlock);

}  // namespace tarnwick::fdio
