#include "platform/InstanceLock.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarnwick {

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the lock
  fd_ = -1;
}

int InstanceLock::Acquire(const std::string& path, int& holderPid) {
  holderPid = 0;
  Release();
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (int e = MakeFolders(path.substr(0, slash), 0755)) return e;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return LastOsError();
  int rc;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int e = errno;
    if (e == EWOULDBLOCK) {
      char buf[32] = {};
      ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
      if (n > 0) holderPid = static_cast<int>(std::strtol(buf, nullptr, 10));
      ::close(fd);
      return err::kAlreadyExists;
    }
    ::close(fd);
    return FromErrno(e);
  }
  fd_ = fd;
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
  return 0;
}

}  // namespace tarnwick
