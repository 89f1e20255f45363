// File and folder operations. Every function returns 0 on success or the
// system's error number (platform/Errors.h) on failure; nothing throws.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Reads the whole file into out (replacing its content).
int ReadWholeFile(const std::string& path, std::string& out);
// Reads at most max bytes from the start of the file.
int ReadFilePrefix(const std::string& path, std::size_t max, std::string& out);
// Creates or truncates the file and writes data.
int WriteWholeFile(const std::string& path, std::string_view data);
// Writes data to a temporary file in the same folder, flushes it to disk and
// renames it over path. On failure the old file is left untouched.
int ReplaceFileAtomic(const std::string& path, std::string_view data);
// Creates the file, failing with err::kFileExists when it exists, and writes data.
int CreateNewFile(const std::string& path, std::string_view data);
// Opens (creating when missing) and appends data at the end, then closes.
int AppendToFile(const std::string& path, std::string_view data);
// Deletes a file.
int RemoveFile(const std::string& path);

// Creates one folder with the given mode; an existing folder is success.
int MakeFolder(const std::string& path, unsigned mode = 0700);
// Creates the folder and every missing parent (parents mode 0755).
int MakeFolders(const std::string& path, unsigned mode = 0700);
bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);
// Names (not paths) of the regular files in a folder.
std::vector<std::string> ListFiles(const std::string& folder);
// Names (not paths) of the folders in a folder.
std::vector<std::string> ListFolders(const std::string& folder);

// Joins two path pieces with exactly one "/".
std::string JoinPath(std::string_view a, std::string_view b);

// An open file descriptor, closed when the owner goes away.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& o) noexcept : fd_(o.release()) {}
  FileHandle& operator=(FileHandle&& o) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

  // Writes all of data; returns 0 or the error number.
  int WriteAll(std::string_view data);

 private:
  int fd_ = -1;
};

// Opens a file for appending (created with mode 0600 when missing).
int OpenAppend(const std::string& path, FileHandle& out);

}  // namespace tarnwick
