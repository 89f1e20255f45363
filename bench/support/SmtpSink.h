// A small SMTP receiver for the benchmarks: it listens on a free loopback
// port and writes every message it accepts into a file of its own in a
// folder, as a local mail server's queue would (no flush). It serves one
// connection at a time on a thread of its own; enough for one puller.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace tarnwick::bench {

class SmtpSink {
 public:
  explicit SmtpSink(std::string folder);
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  int port() const { return port_; }  // 0 when it could not listen
  std::size_t accepted() const { return accepted_.load(); }

 private:
  void Serve();
  void Session(int fd);

  std::string folder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> accepted_{0};
  std::thread thread_;
};

}  // namespace tarnwick::bench
