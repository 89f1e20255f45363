#include "tests/support/Proxies.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/Dovecot.h"

extern char** environ;

namespace tarnwick::test {
namespace fs = std::filesystem;

namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);

bool WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << data;
  f.close();
  return f && ::chmod(path.c_str(), mode) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Output of a shell command (for the password hash); empty on failure.
std::string CommandOutput(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool SafeWord(const std::string& s) {
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
  return true;
}

// The account the proxies drop their privileges to.
void OwnerFor(const char* account, uid_t& uid, gid_t& gid) {
  uid = 65534;
  gid = 65534;
  if (passwd* pw = ::getpwnam(account)) {
    uid = pw->pw_uid;
    gid = pw->pw_gid;
  }
}

}  // namespace

ProxyServer::ProxyServer(Config config) : config_(std::move(config)) {}

ProxyServer::~ProxyServer() { Stop(); }

bool ProxyServer::WriteConfig(std::string& program, std::vector<std::string>& args, std::string& error) {
  const std::string port = std::to_string(port_);
  std::ostringstream c;
  switch (config_.kind) {
    case Kind::Dante:
      program = "/usr/sbin/danted";
      // "username" is chosen when the client offers it, "none" otherwise;
      // SOCKS4 requests go with "none".
      c << "logoutput: " << dir_ << "/danted.log\n"
        << "internal: 127.0.0.1 port = " << port << "\n"
        << "external: " << kProxyOutgoing << "\n"
        << "clientmethod: none\n"
        << "socksmethod: username none\n"
        << "user.privileged: root\n"
        << "user.unprivileged: nobody\n"
        << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
        << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n  protocol: tcp\n}\n";
      if (!WriteFile(dir_ + "/danted.conf", c.str())) break;
      args = {"danted", "-f", dir_ + "/danted.conf", "-p", dir_ + "/danted.pid", "-N", "1"};
      return true;
    case Kind::Microsocks:
      program = "/usr/bin/microsocks";
      args = {"microsocks", "-i", "127.0.0.1", "-p", port, "-b", kProxyOutgoing};
      if (!config_.user.empty()) {
        args.insert(args.end(), {"-u", config_.user, "-P", config_.password});
      }
      return true;
    case Kind::Tinyproxy: {
      program = "/usr/bin/tinyproxy";
      c << "Port " << port << "\nListen 127.0.0.1\nBind " << kProxyOutgoing << "\n"
        << "Timeout 60\nMaxClients 50\nAllow 127.0.0.1\n"
        << "User nobody\nGroup nogroup\nLogLevel Info\n";
      if (!config_.user.empty()) c << "BasicAuth " << config_.user << " " << config_.password << "\n";
      if (!WriteFile(dir_ + "/tinyproxy.conf", c.str())) break;
      args = {"tinyproxy", "-d", "-c", dir_ + "/tinyproxy.conf"};
      return true;
    }
    case Kind::SquidBasic:
    case Kind::SquidNtlm: {
      program = "/usr/sbin/squid";
      // No cache folder and no outside name service; CONNECT to any port.
      c << "http_port 127.0.0.1:" << port << "\n"
        << "pid_filename " << dir_ << "/squid.pid\n"
        << "cache_log " << dir_ << "/cache.log\n"
        << "access_log " << dir_ << "/access.log\n"
        << "cache_store_log none\n"
        << "cache deny all\n"
        << "cache_mem 4 MB\n"
        << "coredump_dir " << dir_ << "\n"
        << "tcp_outgoing_address " << kProxyOutgoing << "\n"
        << "shutdown_lifetime 0 seconds\n"
        << "pinger_enable off\n"
        << "netdb_filename none\n"
        << "dns_nameservers 127.0.0.1\n";
      if (::geteuid() == 0) c << "cache_effective_user proxy\n";
      if (config_.kind == Kind::SquidBasic) {
        if (!SafeWord(config_.password)) {
          error = "squid password must be a plain word";
          return false;
        }
        std::string hash = CommandOutput("openssl passwd -apr1 " + config_.password);
        if (hash.empty() || !WriteFile(dir_ + "/passwd", config_.user + ":" + hash + "\n")) {
          error = "could not make squid's password file";
          return false;
        }
        c << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << dir_ << "/passwd\n"
          << "auth_param basic children 1\n"
          << "auth_param basic realm tarnwick\n";
      } else {
        c << "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n"
          << "auth_param ntlm children 1\n";
      }
      c << "acl authed proxy_auth REQUIRED\n"
        << "http_access allow CONNECT authed\n"
        << "http_access deny all\n";
      if (!WriteFile(dir_ + "/squid.conf", c.str())) break;
      if (::geteuid() == 0) {
        uid_t uid;
        gid_t gid;
        OwnerFor("proxy", uid, gid);
        for (const auto& e : fs::recursive_directory_iterator(dir_)) ::chown(e.path().c_str(), uid, gid);
        ::chown(dir_.c_str(), uid, gid);
      }
      args = {"squid", "-N", "-f", dir_ + "/squid.conf"};
      return true;
    }
  }
  error = "could not write the configuration into " + dir_;
  return false;
}

bool ProxyServer::Start(std::string* error) {
  std::string why;
  auto fail = [&](std::string text) {
    why = std::move(text);
    if (error) *error = why + "\n" + Log();
    Stop();
    return false;
  };
  if (running()) return true;
  std::string tmpl = "/tmp/tarnwick-proxy-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return fail("mkdtemp failed");
  dir_ = tmpl;
  ::chmod(dir_.c_str(), 0755);
  auto ports = FreeLoopbackPorts(1);
  if (ports.size() != 1) return fail("no free loopback port");
  port_ = ports[0];

  std::string program;
  std::vector<std::string> args;
  if (!WriteConfig(program, args, why)) return fail(why);
  if (::access(program.c_str(), X_OK) != 0) return fail(program + " is not installed");

  // The proxy and everything it forks form one process group, stopped as one.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out = dir_ + "/output.txt";
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail("cannot start " + program + ": " + std::strerror(rc));
  pid_ = pid;

  auto end = std::chrono::steady_clock::now() + kStartLimit;
  while (!Accepts(port_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return fail(program + " ended during start-up");
    }
    if (std::chrono::steady_clock::now() > end) return fail(program + " did not listen in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void ProxyServer::Stop() {
  if (pid_ > 0) {
    // A throwaway instance with nothing to save: the whole group goes at once.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
  }
}

std::string ProxyServer::Log() const {
  if (dir_.empty()) return {};
  std::string text = "--- output ---\n" + ReadFile(dir_ + "/output.txt");
  for (const char* log : {"danted.log", "cache.log"})
    if (fs::exists(dir_ + "/" + log)) text += std::string("--- ") + log + " ---\n" + ReadFile(dir_ + "/" + log);
  return text;
}

SystemUser::SystemUser(std::string name, std::string password) : name_(std::move(name)) {
  if (::geteuid() != 0 || !SafeWord(name_) || !SafeWord(password)) return;
  std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
  if (std::system(("useradd -M -N -s /usr/sbin/nologin " + name_ + " >/dev/null 2>&1").c_str()) != 0) return;
  ok_ = std::system(("echo '" + name_ + ":" + password + "' | chpasswd >/dev/null 2>&1").c_str()) == 0;
}

SystemUser::~SystemUser() {
  if (::geteuid() == 0 && SafeWord(name_) && ::getpwnam(name_.c_str()))
    std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
}

}  // namespace tarnwick::test
