#include "platform/Paths.h"

#include "platform/Files.h"

#include <cstdlib>
#include <strings.h>
#include <unistd.h>

#include <climits>

namespace tarnwick {

std::string SystemRoot() {
  const char* v = std::getenv("TARNWICK_SYSROOT");
  if (v && *v) return v;
  return "/";
}

std::string UnderSystemRoot(std::string_view relative) {
  return JoinPath(SystemRoot(), relative);
}

std::string ApplicationFolderOf(std::string_view programPath) {
  std::string folder(programPath);
  std::size_t slash = folder.find_last_of('/');
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
  if (folder.empty()) folder = "/";
  std::size_t last = folder.find_last_of('/');
  if (last != std::string::npos && strcasecmp(folder.c_str() + last + 1, "x64") == 0) {
    folder.resize(last);
    if (folder.empty()) folder = "/";
  }
  return folder;
}

std::string ApplicationFolder() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return ".";
  buf[n] = 0;
  return ApplicationFolderOf(std::string_view(buf, static_cast<std::size_t>(n)));
}

}  // namespace tarnwick
