#include "platform/Errors.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace tarnwick {

namespace {

struct Mapping {
  int os;
  int code;
};

constexpr Mapping kErrnoMap[] = {
    {ENOENT, err::kFileNotFound},     {ENOTDIR, err::kPathNotFound},
    {EACCES, err::kAccessDenied},     {EPERM, err::kAccessDenied},
    {EEXIST, err::kFileExists},       {EINVAL, err::kInvalidParameter},
    {ENOSPC, err::kDiskFull},         {ENAMETOOLONG, err::kInvalidName},
    {EWOULDBLOCK, err::kWouldBlock},  {EINPROGRESS, err::kWouldBlock},
    {ECONNABORTED, err::kConnAborted}, {ECONNRESET, err::kConnReset},
    {EPIPE, err::kConnReset},         {ENOTCONN, err::kNotConnected},
    {ETIMEDOUT, err::kTimedOut},      {ECONNREFUSED, err::kConnRefused},
    {ENETUNREACH, err::kNetUnreachable}, {EHOSTUNREACH, err::kHostUnreachable},
};

struct Text {
  int code;
  const char* text;
};

// Texts for the numbers that have no errno twin on this platform, or whose
// errno text would read oddly in a mail-server log.
constexpr Text kOwnTexts[] = {
    {err::kWouldBlock, "A non-blocking socket operation could not be completed immediately."},
    {err::kConnAborted, "An established connection was aborted by the software in your host machine."},
    {err::kConnReset, "An existing connection was forcibly closed by the remote host."},
    {err::kNotConnected, "A request to send or receive data was disallowed because the socket is not connected."},
    {err::kTimedOut, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},
    {err::kConnRefused, "No connection could be made because the target machine actively refused it."},
    {err::kNetUnreachable, "A socket operation was attempted to an unreachable network."},
    {err::kHostUnreachable, "A socket operation was attempted to an unreachable host."},
    {err::kHostNotFound, "No such host is known."},
    {err::kTryAgain, "This is usually a temporary error during hostname resolution."},
    {err::kNoRecovery, "A non-recoverable error occurred during a database lookup."},
    {err::kFileNotFound, "The system cannot find the file specified."},
    {err::kPathNotFound, "The system cannot find the path specified."},
    {err::kAccessDenied, "Access is denied."},
    {err::kFileExists, "The file exists."},
    {err::kInvalidParameter, "The parameter is incorrect."},
    {err::kDiskFull, "There is not enough space on the disk."},
    {err::kInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {err::kAlreadyExists, "Cannot create a file when that file already exists."},
};

}  // namespace

int FromErrno(int e) {
  for (const auto& m : kErrnoMap)
    if (m.os == e) return m.code;
  return e;
}

int FromGaiError(int e) {
  switch (e) {
    case EAI_NONAME: return err::kHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return err::kHostNotFound;
#endif
    case EAI_AGAIN: return err::kTryAgain;
    case EAI_FAIL: return err::kNoRecovery;
    case EAI_SYSTEM: return FromErrno(errno);
    default: return err::kHostNotFound;
  }
}

std::string SystemMessage(int code) {
  for (const auto& t : kOwnTexts)
    if (t.code == code) return t.text;
  if (code > 0 && code < 4096) {
    // strerror_r in the C locale; the GNU variant returns the text.
    char buf[256];
    const char* s = strerror_r(code, buf, sizeof buf);
    if (s && std::strncmp(s, "Unknown error", 13) != 0) return s;
  }
  return {};
}

int LastOsError() { return FromErrno(errno); }

}  // namespace tarnwick
