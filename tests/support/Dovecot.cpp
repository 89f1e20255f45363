#include "tests/support/Dovecot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestCert.h"

extern char** environ;

namespace tarnwick::test {
namespace fs = std::filesystem;

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr auto kStartLimit = std::chrono::seconds(30);
// Process reuse for many logins: login processes take any number of
// connections (one per core waits at all times), mail processes serve up to
// a thousand sessions one after another (every user has the same uid).
constexpr const char* kLoginProcessReuse = "  service_count = 0\n  process_min_avail = 2\n";
constexpr const char* kMailProcessReuse = "  service_count = 1000\n  process_min_avail = 16\n";

bool WriteFile(const std::string& path, std::string_view data, mode_t mode = 0644) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  f.close();
  if (!f) return false;
  return ::chmod(path.c_str(), mode) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Connects to 127.0.0.1:port; returns the socket or -1.
int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads one line from fd within timeout_ms.
bool ReadGreeting(int fd, std::string& line, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    line.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

bool IsMaildirName(const std::string& name) { return !name.empty() && name[0] != '.'; }

// The flags part of a maildir file name ("...:2,FLAGS").
std::string MaildirFlags(const std::string& name) {
  auto p = name.rfind(":2,");
  return p == std::string::npos ? std::string() : name.substr(p + 3);
}

}  // namespace

std::vector<int> FreeLoopbackPorts(int n) {
  std::vector<int> fds;
  std::vector<int> ports;
  for (int i = 0; i < n; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    fds.push_back(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      break;
    ports.push_back(ntohs(a.sin_port));
  }
  for (int fd : fds) ::close(fd);
  return ports;
}

Dovecot::Dovecot() {
  // The mail processes may not run as root; the "mail" account owns the
  // maildirs (nobody's uid where there is no such account).
  if (passwd* pw = ::getpwnam("mail")) {
    mail_uid_ = pw->pw_uid;
    mail_gid_ = pw->pw_gid;
  } else {
    mail_uid_ = mail_gid_ = 65534;
  }
}

Dovecot::~Dovecot() { Stop(); }

bool Dovecot::WriteConfig(std::string& error) {
  const TestCert& cert = SelfSignedCert();
  if (cert.cert_pem.empty()) {
    error = "could not make a certificate";
    return false;
  }
  if (!WriteFile(dir_ + "/cert.pem", cert.cert_pem) ||
      !WriteFile(dir_ + "/key.pem", cert.key_pem, 0600)) {
    error = "could not write into " + dir_;
    return false;
  }
  std::error_code ec;
  for (const char* sub : {"run", "state", "mail", "users"}) fs::create_directories(dir_ + "/" + sub, ec);
  if (ec || ::chown((dir_ + "/mail").c_str(), mail_uid_, mail_gid_) != 0) {
    error = "could not prepare folders in " + dir_;
    return false;
  }

  std::ostringstream c;
  c << "base_dir = " << dir_ << "/run\n"
    << "state_dir = " << dir_ << "/state\n"
    << "instance_name = tarnwick-test-" << ::getpid() << "-" << pop3_port_ << "\n"
    << "log_path = " << dir_ << "/dovecot.log\n"
    << "info_log_path = " << dir_ << "/dovecot.log\n"
    << "protocols = imap pop3\n"
    << "listen = 127.0.0.1\n"
    << "ssl = yes\n"
    << "ssl_cert = <" << dir_ << "/cert.pem\n"
    << "ssl_key = <" << dir_ << "/key.pem\n";
  if (fs::exists("/usr/share/dovecot/dh.pem")) c << "ssl_dh = </usr/share/dovecot/dh.pem\n";
  c << "disable_plaintext_auth = no\n"
    << "auth_mechanisms = plain login cram-md5 apop" << (oauth2_url_.empty() ? "" : " xoauth2 oauthbearer") << "\n"
    << "auth_verbose = yes\n"
    << "auth_cache_size = 0\n"
    << "auth_failure_delay = 0\n"
    // No penalty delay for repeated failed logins from one address: the
    // tests fail logins on purpose, all from the loopback address.
    << "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n"
    << "first_valid_uid = 1\n"
    << "first_valid_gid = 1\n"
    << "mail_location = maildir:" << dir_ << "/mail/%u/Maildir\n"
    // One passwd-file per user: the server reads a changed file at most once
    // a second, but a new user's file is read at its first login.
    << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir_
    << "/users/%u\n}\n"
    << (oauth2_url_.empty() ? std::string()
                            : "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + dir_ +
                                  "/oauth2.conf.ext\n}\n")
    << "userdb {\n  driver = static\n  args = uid=" << mail_uid_ << " gid=" << mail_gid_
    << " home=" << dir_ << "/mail/%u\n}\n"
    << "service imap-login {\n"
    << "  inet_listener imap {\n    port = " << imap_port_ << "\n  }\n"
    << "  inet_listener imaps {\n    port = " << imaps_port_ << "\n    ssl = yes\n  }\n"
    << (many_logins_ ? kLoginProcessReuse : "") << "}\n"
    << "service pop3-login {\n"
    << "  inet_listener pop3 {\n    port = " << pop3_port_ << "\n  }\n"
    << "  inet_listener pop3s {\n    port = " << pop3s_port_ << "\n    ssl = yes\n  }\n"
    << (many_logins_ ? kLoginProcessReuse : "") << "}\n";
  if (many_logins_) c << "service imap {\n" << kMailProcessReuse << "}\nservice pop3 {\n" << kMailProcessReuse << "}\n";
  if (!oauth2_url_.empty()) {
    std::ostringstream o;
    o << "introspection_url = " << oauth2_url_ << "\n"
      << "introspection_mode = post\n"
      << "username_attribute = email\n"
      << "username_format = %u\n"
      << "active_attribute = active\n"
      << "active_value = true\n"
      << "tls_ca_cert_file = " << oauth2_ca_ << "\n"
      << "timeout_msecs = 5000\n";
    if (!WriteFile(dir_ + "/oauth2.conf.ext", o.str())) {
      error = "could not write the oauth2 configuration";
      return false;
    }
  }
  if (!WriteFile(dir_ + "/dovecot.conf", c.str())) {
    error = "could not write the configuration";
    return false;
  }
  return true;
}

bool Dovecot::Start(std::string* error) {
  std::string why;
  auto fail = [&](std::string text) {
    why = std::move(text);
    if (error) *error = why + "\n" + Log();
    Stop();
    return false;
  };
  if (running()) return true;

  std::string tmpl = "/tmp/tarnwick-dovecot-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return fail("mkdtemp failed");
  dir_ = tmpl;
  // The mail and login processes run under other accounts and must reach
  // their files below this folder.
  ::chmod(dir_.c_str(), 0755);

  auto ports = FreeLoopbackPorts(4);
  if (ports.size() != 4) return fail("no free loopback ports");
  pop3_port_ = ports[0];
  pop3s_port_ = ports[1];
  imap_port_ = ports[2];
  imaps_port_ = ports[3];
  if (!WriteConfig(why)) return fail(why);

  // Standard output and error of the server go to a file next to its log.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out = dir_ + "/stdout.txt";
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string conf = dir_ + "/dovecot.conf";
  std::vector<std::string> args = {"dovecot", "-F", "-c", conf};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, kDovecot, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(std::string("cannot start ") + kDovecot + ": " + std::strerror(rc));
  pid_ = pid;
  if (!WaitReady(why)) return fail(why);
  return true;
}

bool Dovecot::WaitReady(std::string& error) {
  auto end = std::chrono::steady_clock::now() + kStartLimit;
  // The master binds every listener before it starts serving; a POP3
  // greeting on the plain port means the login and auth processes run.
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "dovecot ended during start-up";
      return false;
    }
    int fd = ConnectLoopback(pop3_port_);
    if (fd >= 0) {
      std::string line;
      bool ok = ReadGreeting(fd, line, 5000);
      ::close(fd);
      if (ok && line.rfind("+OK", 0) == 0) {
        for (int port : {pop3s_port_, imap_port_, imaps_port_}) {
          int f = ConnectLoopback(port);
          if (f < 0) {
            error = "dovecot does not listen on port " + std::to_string(port);
            return false;
          }
          ::close(f);
        }
        return true;
      }
    }
    // Connection refused: the master has not bound yet. Try again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "dovecot did not answer within the start limit";
  return false;
}

void Dovecot::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
  }
}

bool Dovecot::AddUser(const std::string& user, const std::string& password) {
  if (dir_.empty() || user.empty() || user.find_first_of(":/\r\n") != std::string::npos ||
      user[0] == '.' || password.find_first_of("\r\n") != std::string::npos)
    return false;
  // A new file renamed over the old one: the auth process sees either the
  // old or the new entry, never a half-written one.
  std::string path = dir_ + "/users/" + user;
  std::string tmp = path + ".new";
  return WriteFile(tmp, user + ":{PLAIN}" + password + "\n") &&
         ::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string Dovecot::MaildirOf(const std::string& user, const std::string& folder) const {
  std::string root = dir_ + "/mail/" + user + "/Maildir";
  return folder.empty() || folder == "INBOX" ? root : root + "/." + folder;
}

std::string Dovecot::AddMessage(const std::string& user, std::string_view raw,
                                const std::string& folder) {
  if (dir_.empty() || user.empty() || user.find('/') != std::string::npos) return {};
  std::string md = MaildirOf(user, folder);
  std::error_code ec;
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(md + "/" + sub, ec);
  if (ec) return {};
  // Everything below the user's folder belongs to the mail account.
  for (auto p = fs::path(md); p.string().size() > (dir_ + "/mail").size(); p = p.parent_path())
    ::chown(p.c_str(), mail_uid_, mail_gid_);
  for (const char* sub : {"cur", "new", "tmp"}) ::chown((md + "/" + sub).c_str(), mail_uid_, mail_gid_);

  auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::system_clock::now().time_since_epoch()).count();
  std::string name = std::to_string(now / 1000000) + ".M" + std::to_string(now % 1000000) + "P" +
                     std::to_string(::getpid()) + "Q" + std::to_string(++sequence_) + ".tarnwick";
  std::string tmp = md + "/tmp/" + name;
  if (!WriteFile(tmp, raw, 0600) || ::chown(tmp.c_str(), mail_uid_, mail_gid_) != 0 ||
      ::rename(tmp.c_str(), (md + "/new/" + name).c_str()) != 0)
    return {};
  return name;
}

std::vector<std::string> Dovecot::ListMessages(const std::string& user,
                                               const std::string& folder) const {
  std::vector<std::pair<std::string, std::string>> files;
  std::string md = MaildirOf(user, folder);
  for (const char* sub : {"new", "cur"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(md + "/" + sub, ec)) {
      std::string name = e.path().filename().string();
      if (IsMaildirName(name)) files.emplace_back(name, e.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(ReadFile(f.second));
  return out;
}

std::size_t Dovecot::MessageCount(const std::string& user, const std::string& folder) const {
  std::size_t n = 0;
  std::string md = MaildirOf(user, folder);
  for (const char* sub : {"new", "cur"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(md + "/" + sub, ec))
      if (IsMaildirName(e.path().filename().string())) ++n;
  }
  return n;
}

std::size_t Dovecot::FlaggedDeleted(const std::string& user, const std::string& folder) const {
  std::size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(MaildirOf(user, folder) + "/cur", ec))
    if (MaildirFlags(e.path().filename().string()).find('T') != std::string::npos) ++n;
  return n;
}

std::string Dovecot::Log() const {
  if (dir_.empty()) return {};
  return "--- dovecot.log ---\n" + ReadFile(dir_ + "/dovecot.log") + "--- stdout ---\n" +
         ReadFile(dir_ + "/stdout.txt");
}

}  // namespace tarnwick::test
