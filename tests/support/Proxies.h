// Real proxy servers for the tunnel tests, each started from its Debian
// package with a private configuration in a fresh temporary folder, on a
// free loopback port:
//
//   dante     SOCKS4 and SOCKS5, without a login or with a system user's
//             name and password (SystemUser makes a throwaway one)
//   microsocks SOCKS5 with a user name and password
//   tinyproxy HTTP CONNECT, with or without BasicAuth
//   squid     HTTP CONNECT with Basic (basic_ncsa_auth and a password file)
//             or NTLM (ntlm_fake_auth, which takes any credentials)
//
// Every proxy opens its outgoing connections from kProxyOutgoing, so that
// the mail server's log tells a login through the proxy from a direct one.
//
//   ProxyServer dante(ProxyServer::Dante());
//   ASSERT_TRUE(dante.Start(&error)) << error;
//   ... connect to 127.0.0.1:dante.port() ...
#pragma once

#include <string>
#include <vector>

namespace tarnwick::test {

inline constexpr const char* kProxyOutgoing = "127.0.0.2";

class ProxyServer {
 public:
  enum class Kind { Dante, Microsocks, Tinyproxy, SquidBasic, SquidNtlm };
  struct Config {
    Kind kind = Kind::Dante;
    std::string user;      // login the proxy asks for; empty: none
    std::string password;
  };
  static Config Dante() { return {Kind::Dante, {}, {}}; }
  static Config Microsocks(std::string user, std::string password) {
    return {Kind::Microsocks, std::move(user), std::move(password)};
  }
  static Config Tinyproxy(std::string user = {}, std::string password = {}) {
    return {Kind::Tinyproxy, std::move(user), std::move(password)};
  }
  static Config SquidBasic(std::string user, std::string password) {
    return {Kind::SquidBasic, std::move(user), std::move(password)};
  }
  static Config SquidNtlm() { return {Kind::SquidNtlm, {}, {}}; }

  explicit ProxyServer(Config config);
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // Writes the configuration, starts the proxy and waits until it accepts
  // connections. On failure returns false with the reason (and the proxy's
  // output) in *error, and leaves nothing running.
  bool Start(std::string* error = nullptr);
  // Stops the proxy (its whole process group) and removes its folder.
  void Stop();
  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  // The proxy's log and output.
  std::string Log() const;

 private:
  bool WriteConfig(std::string& program, std::vector<std::string>& args, std::string& error);

  Config config_;
  std::string dir_;
  int pid_ = -1;
  int port_ = 0;
};

// A throwaway system account with a password, for dante's user name and
// password method, which checks the system's accounts. Needs root; removed
// again by the destructor.
class SystemUser {
 public:
  SystemUser(std::string name, std::string password);
  ~SystemUser();
  SystemUser(const SystemUser&) = delete;
  SystemUser& operator=(const SystemUser&) = delete;
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool ok_ = false;
};

}  // namespace tarnwick::test
