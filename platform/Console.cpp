#include "platform/Console.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tarnwick {

namespace {

std::string UserNameOf(uid_t uid) {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

std::string GroupNameOf(gid_t gid) {
  group g{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads up to LF; false at the end of input before any byte.
bool ReadLine(int fd, std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

bool StdinIsTerminal() { return ::isatty(0) == 1; }

std::optional<std::string> ReadSecretFromTerminal(const std::string& prompt) {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  termios old{};
  if (::tcgetattr(fd, &old) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  WriteAll(fd, prompt);
  ::tcsetattr(fd, TCSAFLUSH, &quiet);
  std::string line;
  bool ok = ReadLine(fd, line);
  ::tcsetattr(fd, TCSAFLUSH, &old);
  ::close(fd);
  if (!ok) return std::nullopt;
  return line;
}

std::optional<std::string> ReadLineFromStdin() {
  std::string line;
  if (!ReadLine(0, line)) return std::nullopt;
  return line;
}

std::optional<FileAccess> FileAccessOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileAccess{UserNameOf(st.st_uid), GroupNameOf(st.st_gid), static_cast<unsigned>(st.st_mode & 07777)};
}

bool GroupExists(const std::string& name) {
  group g{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  return ::getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &found) == 0 && found;
}

std::string CurrentUserName() { return UserNameOf(::geteuid()); }

}  // namespace tarnwick
