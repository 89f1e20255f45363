#include "platform/DurableFile.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace tarnwick {

namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  FileHandle h(fd);
  ::fsync(fd);
}

}  // namespace

std::string UniqueFileTag() {
  static std::atomic<unsigned long> counter{0};
  return std::to_string(::getpid()) + "." + std::to_string(CurrentThreadId()) + "." +
         std::to_string(counter.fetch_add(1));
}

int WriteNewFileSynced(const std::string& path, std::initializer_list<std::string_view> pieces) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastOsError();
  FileHandle f(fd);
  int e = 0;
  for (std::string_view piece : pieces) {
    if ((e = f.WriteAll(piece))) break;
  }
  if (!e && ::fsync(fd) != 0) e = LastOsError();
  if (!e && ::close(f.release()) != 0) e = LastOsError();
  if (e) {
    f.reset();
    ::unlink(path.c_str());
  }
  return e;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno != EINVAL && errno != ENOSYS) return LastOsError();
  if (rc != 0) {
    // The file system cannot rename without replacing: a second link fails
    // on a taken name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return LastOsError();
    ::unlink(from.c_str());
  }
  // The file has its name now; a folder that cannot be flushed does not
  // undo that, so the flush is best effort.
  SyncFolder(FolderOf(to));
  return 0;
}

}  // namespace tarnwick
