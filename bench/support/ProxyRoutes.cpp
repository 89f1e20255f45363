#include "bench/support/ProxyRoutes.h"

namespace tarnwick::bench {

bool ProxyRoutes::Start(std::string& notes) {
  struct Want {
    const char* name;
    int32_t protocol;  // 1 SOCKS5, 2 HTTP
    test::ProxyServer::Config config;
  };
  const Want wants[] = {{"ours+dante", 1, test::ProxyServer::Dante()},
                        {"ours+tinyp", 2, test::ProxyServer::Tinyproxy()}};
  for (const Want& w : wants) {
    auto server = std::make_unique<test::ProxyServer>(w.config);
    std::string error;
    if (!server->Start(&error)) {
      notes += std::string(w.name) + " not started: " + error.substr(0, 200) + "\n";
      continue;
    }
    routes_.push_back({w.name, w.protocol, server->port()});
    servers_.push_back(std::move(server));
  }
  return !routes_.empty();
}

}  // namespace tarnwick::bench
