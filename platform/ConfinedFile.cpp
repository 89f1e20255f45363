#include "platform/ConfinedFile.h"

#include "platform/Errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tarnwick {
namespace {

std::vector<std::string> Pieces(const std::string& path) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    std::string piece = path.substr(i, slash - i);
    if (!piece.empty() && piece != ".") out.push_back(std::move(piece));
    i = slash + 1;
  }
  return out;
}

}  // namespace

int ConfinedRelativeName(const std::string& folder, const std::string& name, std::string& relative) {
  relative.clear();
  std::vector<std::string> pieces = Pieces(name);
  if (!name.empty() && name[0] == '/') {
    std::vector<std::string> base = Pieces(folder);
    if (pieces.size() <= base.size()) return err::kInvalidName;
    for (std::size_t i = 0; i < base.size(); ++i)
      if (pieces[i] != base[i]) return err::kInvalidName;
    pieces.erase(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(base.size()));
  }
  if (pieces.empty()) return err::kInvalidName;
  for (const std::string& p : pieces) {
    if (p == "..") return err::kInvalidName;
    if (!relative.empty()) relative.push_back('/');
    relative += p;
  }
  return 0;
}

int OpenAppendConfined(const std::string& folder, const std::string& name, FileHandle& out) {
  out.reset();
  std::string relative;
  if (int e = ConfinedRelativeName(folder, name, relative)) return e;
  std::vector<std::string> pieces = Pieces(relative);
  FileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return LastOsError();
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    FileHandle next(::openat(dir.get(), pieces[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return LastOsError();
    dir = std::move(next);
  }
  // O_NONBLOCK: a FIFO planted under the name must not hang the opener.
  FileHandle f(::openat(dir.get(), pieces.back().c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!f.valid()) return LastOsError();
  struct stat st{};
  if (::fstat(f.get(), &st) != 0) return LastOsError();
  if (!S_ISREG(st.st_mode)) return err::kAccessDenied;
  int flags = ::fcntl(f.get(), F_GETFL);
  if (flags >= 0) ::fcntl(f.get(), F_SETFL, flags & ~O_NONBLOCK);
  out = std::move(f);
  return 0;
}

}  // namespace tarnwick
