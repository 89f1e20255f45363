#include "platform/Files.h"

#include "platform/Errors.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace tarnwick {

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void FileHandle::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int FileHandle::WriteAll(std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastOsError();
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {

int OpenFd(const std::string& path, int flags, FileHandle& out, unsigned mode = 0600) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastOsError();
  out.reset(fd);
  return 0;
}

int ReadFd(int fd, std::size_t max, std::string& out) {
  out.clear();
  struct stat st{};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return err::kAccessDenied;
  if (st.st_size > 0) out.reserve(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), max));
  char buf[65536];
  while (out.size() < max) {
    std::size_t want = std::min(sizeof buf, max - out.size());
    ssize_t n = ::read(fd, buf, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastOsError();
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string& out) {
  return ReadFilePrefix(path, static_cast<std::size_t>(-1), out);
}

int ReadFilePrefix(const std::string& path, std::size_t max, std::string& out) {
  FileHandle f;
  if (int e = OpenFd(path, O_RDONLY, f)) return e;
  return ReadFd(f.get(), max, out);
}

int WriteWholeFile(const std::string& path, std::string_view data) {
  FileHandle f;
  if (int e = OpenFd(path, O_WRONLY | O_CREAT | O_TRUNC, f)) return e;
  return f.WriteAll(data);
}

int ReplaceFileAtomic(const std::string& path, std::string_view data) {
  static std::atomic<unsigned> counter{0};
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  FileHandle f;
  if (int e = OpenFd(tmp, O_WRONLY | O_CREAT | O_EXCL, f)) return e;
  int e = f.WriteAll(data);
  if (!e && ::fsync(f.get()) != 0) e = LastOsError();
  f.reset();
  if (!e && ::rename(tmp.c_str(), path.c_str()) != 0) e = LastOsError();
  if (e) {
    ::unlink(tmp.c_str());
    return e;
  }
  // The new name is durable only once its folder is flushed too.
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    FileHandle h(fd);
    ::fsync(fd);
  }
  return 0;
}

int CreateNewFile(const std::string& path, std::string_view data) {
  FileHandle f;
  if (int e = OpenFd(path, O_WRONLY | O_CREAT | O_EXCL, f)) return e;
  return f.WriteAll(data);
}

int AppendToFile(const std::string& path, std::string_view data) {
  FileHandle f;
  if (int e = OpenAppend(path, f)) return e;
  return f.WriteAll(data);
}

int OpenAppend(const std::string& path, FileHandle& out) {
  return OpenFd(path, O_WRONLY | O_CREAT | O_APPEND, out);
}

int RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : LastOsError();
}

int MakeFolder(const std::string& path, unsigned mode) {
  if (::mkdir(path.c_str(), mode) == 0) return 0;
  int e = errno;
  if (e == EEXIST && FolderExists(path)) return 0;
  return FromErrno(e);
}

int MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty() || FolderExists(path)) return 0;
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (int e = MakeFolders(path.substr(0, slash), 0755)) return e;
  }
  return MakeFolder(path, mode);
}

bool FolderExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Names in folder (not "." or "..") whose full path passes keep.
std::vector<std::string> ListEntries(const std::string& folder, bool (*keep)(const std::string&)) {
  std::vector<std::string> names;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return names;
  while (dirent* ent = ::readdir(d)) {
    std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    if (keep(JoinPath(folder, name))) names.push_back(std::move(name));
  }
  ::closedir(d);
  return names;
}

}  // namespace

std::vector<std::string> ListFiles(const std::string& folder) { return ListEntries(folder, FileExists); }

std::vector<std::string> ListFolders(const std::string& folder) { return ListEntries(folder, FolderExists); }

std::string JoinPath(std::string_view a, std::string_view b) {
  std::string out(a);
  while (!out.empty() && out.back() == '/' && out.size() > 1) out.pop_back();
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  if (out.empty()) return std::string(b);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

}  // namespace tarnwick
