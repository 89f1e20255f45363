// The proxies the pull benchmark runs the engine through: dante for SOCKS5
// and tinyproxy for HTTP CONNECT, each started from its Debian package on a
// free loopback port in front of the benchmark's Dovecot. A proxy that does
// not start is left out with a note.
#pragma once

#include "tests/support/Proxies.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::bench {

struct ProxyRoute {
  std::string name;       // the program column of its rows
  int32_t protocol = 0;   // the account's ProxyProtocol
  int port = 0;           // on 127.0.0.1
};

class ProxyRoutes {
 public:
  // Starts the proxies; notes says which did not start.
  bool Start(std::string& notes);
  const std::vector<ProxyRoute>& routes() const { return routes_; }

 private:
  std::vector<std::unique_ptr<test::ProxyServer>> servers_;
  std::vector<ProxyRoute> routes_;
};

}  // namespace tarnwick::bench
