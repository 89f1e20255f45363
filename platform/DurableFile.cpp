#include "platform/DurableFile.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Threads.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace tarnwick {

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

long OwnProcessId() { return static_cast<long>(::getpid()); }

std::string UniqueFileTag() {
  static std::atomic<unsigned long> counter{0};
  return std::to_string(CurrentProcessId()) + "." + std::to_string(CurrentThreadId()) + "." +
         std::to_string(counter.fetch_add(1));
}

namespace {

// Writes the pieces into fd, in one system call as long as it takes them whole.
int WritePieces(int fd, std::initializer_list<std::string_view> pieces) {
  std::vector<iovec> vec;
  vec.reserve(pieces.size());
  for (std::string_view piece : pieces)
    if (!piece.empty()) vec.push_back({const_cast<char*>(piece.data()), piece.size()});
  std::size_t next = 0;
  int e = 0;
  while (next < vec.size()) {
    ssize_t n = ::writev(fd, vec.data() + next, static_cast<int>(std::min<std::size_t>(vec.size() - next, IOV_MAX)));
    if (n < 0) {
      if (errno == EINTR) continue;
      e = LastOsError();
      break;
    }
    if (n == 0) {  // no progress on a regular file: nothing more fits
      e = err::kDiskFull;
      break;
    }
    auto done = static_cast<std::size_t>(n);
    while (next < vec.size() && done >= vec[next].iov_len) done -= vec[next++].iov_len;
    if (next < vec.size()) {
      vec[next].iov_base = static_cast<char*>(vec[next].iov_base) + done;
      vec[next].iov_len -= done;
    }
  }
  if (!e) {
    // The disk starts on the data now; the flush later mostly finds it done.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  return e;
}

}  // namespace

int WriteNewFile(const std::string& path, std::initializer_list<std::string_view> pieces, FileHandle& out) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CreateFailure(path, LastOsError());
  FileHandle f(fd);
  if (int e = WritePieces(fd, pieces)) {
    f.reset();
    ::unlink(path.c_str());
    return e;
  }
  out = std::move(f);
  return 0;
}

int WriteUnnamedFile(const std::string& folder, std::initializer_list<std::string_view> pieces, FileHandle& out) {
  int fd;
  do {
    fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = LastOsError();
    return e == err::kFileNotFound && !FolderExists(folder) ? err::kPathNotFound : e;
  }
  FileHandle f(fd);
  if (int e = WritePieces(fd, pieces)) return e;
  out = std::move(f);
  return 0;
}

int LinkNoReplace(const FileHandle& file, const std::string& to) {
  // Linking by descriptor itself needs a privilege; the descriptor's entry
  // under /proc does not.
  const std::string self = "/proc/self/fd/" + std::to_string(file.get());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return CreateFailure(to, LastOsError());
  return 0;
}

bool OnOneFileSystem(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return S_ISDIR(sa.st_mode) && S_ISDIR(sb.st_mode) && sa.st_dev == sb.st_dev;
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return S_ISDIR(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int CreateFailure(const std::string& path, int error) {
  if (error == err::kFileNotFound && !FolderExists(FolderOf(path))) return err::kPathNotFound;
  return error;
}

int SyncData(const FileHandle& file) {
  if (::fdatasync(file.get()) != 0) return LastOsError();
  return 0;
}

int Truncate(const FileHandle& file) {
  if (::ftruncate(file.get(), 0) != 0) return LastOsError();
  return 0;
}

int SyncAndClose(FileHandle& file) {
  int e = 0;
  if (::fsync(file.get()) != 0) e = LastOsError();
  if (::close(file.release()) != 0 && !e) e = LastOsError();
  return e;
}

int WriteNewFileSynced(const std::string& path, std::initializer_list<std::string_view> pieces) {
  FileHandle f;
  if (int e = WriteNewFile(path, pieces, f)) return e;
  if (int e = SyncAndClose(f)) {
    ::unlink(path.c_str());
    return e;
  }
  return 0;
}

int RenameNoReplaceUnsynced(const std::string& from, const std::string& to) {
  int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno != EINVAL && errno != ENOSYS) return CreateFailure(to, LastOsError());
  if (rc != 0) {
    // The file system cannot rename without replacing: a second link fails
    // on a taken name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return CreateFailure(to, LastOsError());
    ::unlink(from.c_str());
  }
  return 0;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (int e = RenameNoReplaceUnsynced(from, to)) return e;
  // The file has its name now; a folder that cannot be flushed does not
  // undo that, so the flush is best effort.
  SyncFolder(FolderOf(to));
  return 0;
}

}  // namespace tarnwick
