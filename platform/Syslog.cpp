#include "platform/Syslog.h"

#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tarnwick {

std::string SyslogSocketPath() { return UnderSystemRoot("dev/log"); }

std::string FormatSyslogLine(int facility, int severity, std::string_view ident, int pid, std::string_view text,
                             int64_t unixSeconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm = LocalTime(unixSeconds);
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", facility * 8 + severity,
                kMonths[tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0], tm.tm_mday, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  std::string line = head;
  line.append(ident).append("[").append(std::to_string(pid)).append("]: ");
  // One message is one line.
  for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  return line;
}

int SendSyslog(int facility, int severity, std::string_view ident, std::string_view text) {
  std::string path = SyslogSocketPath();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return err::kInvalidName;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  std::string line = FormatSyslogLine(facility, severity, ident, static_cast<int>(::getpid()), text,
                                      SystemClock().NowSeconds());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastOsError();
  int rc = 0;
  if (::sendto(fd, line.data(), line.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
    rc = LastOsError();
  ::close(fd);
  return rc;
}

}  // namespace tarnwick
