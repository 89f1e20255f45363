// The fake EWS and WebDAV servers of the test support, run for the pull
// benchmark in a process of their own: the mailbox they hold (hundreds of
// megabytes for the large set) then never shows in the resident size of the
// engine's runs, which are forked from the benchmark.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace tarnwick::bench {

class ExchangeServer {
 public:
  ExchangeServer() = default;
  ~ExchangeServer();
  ExchangeServer(const ExchangeServer&) = delete;
  ExchangeServer& operator=(const ExchangeServer&) = delete;

  // Starts one server for protocol (2 EWS, 3 WebDAV), over HTTPS when tls
  // is set, with NTLM authentication and a mailbox of count messages made by
  // make(i). Any earlier server of this object is stopped first.
  bool Start(int protocol, bool tls, int count, const std::function<std::string(int)>& make, std::string* error);
  void Stop();

  // The account's Server setting that reaches the mailbox.
  const std::string& server() const { return server_; }
  static const char* User() { return "CORP\\bench"; }
  static const char* Password() { return "pw"; }

 private:
  pid_t pid_ = -1;
  std::string server_;
};

}  // namespace tarnwick::bench
