// Error numbers of the system. They keep the numbering the system has always
// shown to administrators and peers (the classic Windows numbers), because they
// appear in status lines, log texts and replies and callers compare them.
#pragma once

#include <string>

namespace tarnwick {

namespace err {
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kAccessDenied = 5;
inline constexpr int kFileExists = 80;
inline constexpr int kInvalidParameter = 87;
inline constexpr int kDiskFull = 112;
inline constexpr int kInvalidName = 123;
inline constexpr int kAlreadyExists = 183;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kConnAborted = 10053;
inline constexpr int kConnReset = 10054;
inline constexpr int kNotConnected = 10057;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnRefused = 10061;
inline constexpr int kNetUnreachable = 10051;
inline constexpr int kHostUnreachable = 10065;
inline constexpr int kHostNotFound = 11001;
inline constexpr int kTryAgain = 11002;
inline constexpr int kNoRecovery = 11003;
}  // namespace err

// Maps an errno value to the system's error number; unmapped values pass through.
int FromErrno(int e);
// Maps a getaddrinfo() result (EAI_*) to the system's error number.
int FromGaiError(int e);
// The system's message text for a code: strerror text in the C locale for
// codes that come from errno, a short own text for the network numbers.
// Empty when there is no text.
std::string SystemMessage(int code);
// errno of the calling thread, mapped.
int LastOsError();

}  // namespace tarnwick
