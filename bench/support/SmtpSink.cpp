#include "bench/support/SmtpSink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string_view>

namespace tarnwick::bench {

namespace {

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool Reply(int fd, const char* text) { return WriteAll(fd, text, std::strlen(text)); }

}  // namespace

SmtpSink::SmtpSink(std::string folder) : folder_(std::move(folder)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

SmtpSink::~SmtpSink() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

void SmtpSink::Serve() {
  while (!stop_.load()) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Session(fd);
    ::close(fd);
  }
}

// Commands are answered line by line; DATA is read up to the lone dot, the
// dots that stuffing added are taken out and the message written to a file.
void SmtpSink::Session(int fd) {
  if (!Reply(fd, "220 sink ESMTP\r\n")) return;
  std::string in;
  std::string message;
  bool data = false;
  char buf[65536];
  for (;;) {
    std::size_t lf, pos = 0;
    while ((lf = in.find('\n', pos)) != std::string::npos) {
      std::string_view line(in.data() + pos, lf + 1 - pos);
      pos = lf + 1;
      if (data) {
        if (line == ".\r\n" || line == ".\n") {
          data = false;
          const std::string path = folder_ + "/" + std::to_string(accepted_.load()) + ".eml";
          int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
          bool ok = out >= 0 && WriteAll(out, message.data(), message.size());
          if (out >= 0) ::close(out);
          message.clear();
          if (ok) accepted_.fetch_add(1);
          if (!Reply(fd, ok ? "250 2.0.0 queued\r\n" : "451 4.3.0 cannot write\r\n")) return;
        } else {
          message.append(line.substr(line[0] == '.' ? 1 : 0));
        }
        continue;
      }
      std::string verb(line.substr(0, 4));
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const char* answer = "250 2.0.0 ok\r\n";
      if (verb == "EHLO") answer = "250-sink\r\n250-8BITMIME\r\n250-PIPELINING\r\n250 SIZE 0\r\n";
      else if (verb == "DATA") { answer = "354 go ahead\r\n"; data = true; }
      else if (verb == "QUIT") { Reply(fd, "221 2.0.0 bye\r\n"); return; }
      if (!Reply(fd, answer)) return;
    }
    in.erase(0, pos);
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 100);
    if (stop_.load()) return;
    if (r <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    // Acknowledge at once, as a server that answers every line does: a
    // delayed acknowledgement would hold the client's last small piece of a
    // message (the end-of-data line) back by 40 ms on the loopback.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    in.append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace tarnwick::bench
