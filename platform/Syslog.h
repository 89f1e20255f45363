// Messages to the system log: one datagram per message to the log socket
// (<system root>/dev/log), in the local format the syslog daemons and the
// journal take: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT".
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr int kSyslogFacilityDaemon = 3;
inline constexpr int kSyslogInfo = 6;

// <system root>/dev/log
std::string SyslogSocketPath();

// The datagram for one message (without sending it).
std::string FormatSyslogLine(int facility, int severity, std::string_view ident, int pid, std::string_view text,
                             int64_t unixSeconds);

// Sends one message; 0 or the system's error number (the socket missing or
// nobody reading it).
int SendSyslog(int facility, int severity, std::string_view ident, std::string_view text);

}  // namespace tarnwick
