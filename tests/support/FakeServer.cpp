#include "tests/support/FakeServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/TestCert.h"

namespace tarnwick::test {

namespace {

using Steady = std::chrono::steady_clock;

int MsLeft(Steady::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Expands \r \n \t \\ and \xHH.
std::string Unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (i + 2 < s.size()) {
          out += static_cast<char>(std::strtol(std::string(s.substr(i + 1, 2)).c_str(), nullptr, 16));
          i += 2;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

// Server side TLS over the connection's socket.
struct FakeConnection::Tls {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~Tls() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

FakeConnection::FakeConnection(FakeServer& server, int fd) : server_(server), fd_(fd) {
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

FakeConnection::~FakeConnection() { Close(); }

void FakeConnection::Close() {
  tls_.reset();
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

void FakeConnection::Fail(const std::string& text) { server_.AddFailure(text); }

// Waits until the socket is readable. False on time-out, on a stop request
// and on a closed connection.
bool FakeConnection::WaitReadable(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd p[2] = {{fd_, POLLIN, 0}, {server_.wake_[0], POLLIN, 0}};
  int n = ::poll(p, 2, timeout_ms);
  if (n <= 0 || (p[1].revents & POLLIN)) return false;
  return true;
}

bool FakeConnection::FillBuffer(int timeout_ms) {
  char buf[16384];
  if (tls_ && SSL_pending(tls_->ssl) > 0) {
    int n = SSL_read(tls_->ssl, buf, sizeof buf);
    if (n > 0) {
      buffer_.append(buf, static_cast<std::size_t>(n));
      return true;
    }
  }
  auto end = Steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (!WaitReadable(MsLeft(end))) return false;
    if (tls_) {
      int n = SSL_read(tls_->ssl, buf, sizeof buf);
      if (n > 0) {
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
      }
      int e = SSL_get_error(tls_->ssl, n);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) continue;
      return false;
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      buffer_.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return false;
  }
}

bool FakeConnection::ReadLine(std::string& line, int timeout_ms) {
  auto end = Steady::now() + std::chrono::milliseconds(timeout_ms);
  std::size_t lf;
  while ((lf = buffer_.find('\n')) == std::string::npos) {
    if (!FillBuffer(MsLeft(end))) return false;
  }
  line = buffer_.substr(0, lf);
  buffer_.erase(0, lf + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  server_.AddReceived(line);
  return true;
}

bool FakeConnection::ReadBytes(std::string& out, std::size_t n, int timeout_ms) {
  auto end = Steady::now() + std::chrono::milliseconds(timeout_ms);
  while (buffer_.size() < n) {
    if (!FillBuffer(MsLeft(end))) return false;
  }
  out = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return true;
}

bool FakeConnection::RawSend(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 10000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool FakeConnection::Send(std::string_view data) {
  if (fd_ < 0) return false;
  if (!tls_) return RawSend(data);
  while (!data.empty()) {
    int n = SSL_write(tls_->ssl, data.data(), static_cast<int>(data.size()));
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    int e = SSL_get_error(tls_->ssl, n);
    pollfd p{fd_, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || ::poll(&p, 1, 10000) <= 0)
      return false;
  }
  return true;
}

bool FakeConnection::StartTls(int timeout_ms) {
  if (fd_ < 0) return false;
  const TestCert& cert = SelfSignedCert();
  auto tls = std::make_unique<Tls>();
  tls->ctx = SSL_CTX_new(TLS_server_method());
  if (!tls->ctx) return false;
  BIO* cb = BIO_new_mem_buf(cert.cert_pem.data(), static_cast<int>(cert.cert_pem.size()));
  BIO* kb = BIO_new_mem_buf(cert.key_pem.data(), static_cast<int>(cert.key_pem.size()));
  X509* x = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* k = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
  bool loaded = x && k && SSL_CTX_use_certificate(tls->ctx, x) == 1 &&
                SSL_CTX_use_PrivateKey(tls->ctx, k) == 1;
  X509_free(x);
  EVP_PKEY_free(k);
  BIO_free(cb);
  BIO_free(kb);
  if (!loaded) return false;
  tls->ssl = SSL_new(tls->ctx);
  if (!tls->ssl || SSL_set_fd(tls->ssl, fd_) != 1) return false;
  // Bytes the client sent after the upgrade command and before the
  // handshake would be lost here; clients wait for the reply first.
  buffer_.clear();
  auto end = Steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int r = SSL_accept(tls->ssl);
    if (r == 1) break;
    int e = SSL_get_error(tls->ssl, r);
    if (e == SSL_ERROR_WANT_READ) {
      if (!WaitReadable(MsLeft(end))) return false;
    } else if (e == SSL_ERROR_WANT_WRITE) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, MsLeft(end)) <= 0) return false;
    } else {
      ERR_clear_error();
      return false;
    }
  }
  tls_ = std::move(tls);
  return true;
}

void FakeConnection::Stall() {
  if (fd_ < 0) return;
  // Read and drop whatever the client sends until it closes or the server stops.
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {server_.wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

FakeServer::FakeServer(std::string script)
    : FakeServer(Handler([script = std::move(script)](FakeConnection& c) { RunScript(c, script); })) {}

FakeServer::FakeServer(Handler handler) : handler_(std::move(handler)) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    AddFailure("pipe failed");
    return;
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = 0;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 8) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    AddFailure("cannot listen on loopback");
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeServer::~FakeServer() {
  Stop();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void FakeServer::Stop() {
  if (wake_[1] >= 0) {
    char c = 'x';
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
}

void FakeServer::Serve() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      FakeConnection conn(*this, fd);
      handler_(conn);
    }
    std::lock_guard lock(mutex_);
    ++served_;
    done_cv_.notify_all();
  }
}

bool FakeServer::WaitDone(int connections, int timeout_ms) {
  std::unique_lock lock(mutex_);
  return done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return served_ >= connections; });
}

int FakeServer::served() const {
  std::lock_guard lock(mutex_);
  return served_;
}

std::string FakeServer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::string FakeServer::Failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

void FakeServer::AddFailure(const std::string& text) {
  std::lock_guard lock(mutex_);
  failures_ += text + "\n";
}

void FakeServer::AddReceived(const std::string& line) {
  std::lock_guard lock(mutex_);
  received_ += line + "\n";
}

void FakeServer::RunScript(FakeConnection& conn, std::string_view script) {
  int number = 0;
  while (!script.empty() && !conn.closed()) {
    auto lf = script.find('\n');
    std::string_view step = script.substr(0, lf);
    script = lf == std::string_view::npos ? std::string_view() : script.substr(lf + 1);
    ++number;
    if (!step.empty() && step.back() == '\r') step.remove_suffix(1);
    if (step.empty() || step[0] == '#') continue;
    std::string where = "step " + std::to_string(number) + " \"" + std::string(step) + "\": ";
    std::string_view arg = step.size() > 3 ? step.substr(3) : std::string_view();
    if (step.starts_with("S: ") || step == "S:") {
      if (!conn.SendLine(arg)) conn.Fail(where + "send failed");
    } else if (step.starts_with("R: ")) {
      if (!conn.Send(Unescape(arg))) conn.Fail(where + "send failed");
    } else if (step.starts_with("C: ") || step == "C:") {
      std::string line;
      if (!conn.ReadLine(line)) {
        conn.Fail(where + "client closed or was silent");
        conn.Close();
      } else if (arg != "*" && line != arg) {
        conn.Fail(where + "client sent \"" + line + "\"");
        conn.Close();
      }
    } else if (step == "X") {
      conn.Close();
    } else if (step == "W") {
      conn.Stall();
    } else if (step == "T") {
      if (!conn.StartTls()) {
        conn.Fail(where + "TLS handshake failed");
        conn.Close();
      }
    } else {
      conn.Fail(where + "unknown step");
    }
  }
}

}  // namespace tarnwick::test
