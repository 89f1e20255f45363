// A scripted TCP server on a free loopback port, for fault injection where
// a real server cannot be made to misbehave. It runs on a thread of its own
// and serves the connections it accepts one after another.
//
// Script form, one step a line:
//   S: text     send text followed by CR LF
//   R: text     send text as it is, with \r \n \t \\ and \xHH escapes
//   C: text     expect the line text (without CR LF) from the client
//   C: *        expect any line
//   X           close the connection
//   W           stall: send nothing more and hold the connection open until
//               the client closes it or the server stops
//   T           server side of a TLS handshake (self-signed certificate);
//               the steps after it run over TLS
//   # ...       comment; blank lines are skipped
//
//   FakeServer fake("S: +OK ready\nC: USER alice\nS: -ERR no\nX\n");
//   ... connect to fake.port() ...
//   EXPECT_TRUE(fake.WaitDone()) << fake.Failures();
//
// A mismatch or a client that closes early ends the connection and is
// recorded in Failures(). For exchanges a script cannot express, a handler
// function drives the connection directly.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwick::test {

class FakeServer;

// One accepted connection, as the handler sees it.
class FakeConnection {
 public:
  FakeConnection(FakeServer& server, int fd);
  ~FakeConnection();
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  // Reads one line without its CR LF. False when the client closed, the
  // server stops or nothing came within timeout_ms.
  bool ReadLine(std::string& line, int timeout_ms = 10000);
  // Reads exactly n bytes (binary exchanges such as SOCKS). False when the
  // client closed, the server stops or they did not come within timeout_ms.
  bool ReadBytes(std::string& out, std::size_t n, int timeout_ms = 10000);
  // Sends data as it is.
  bool Send(std::string_view data);
  // Sends text followed by CR LF.
  bool SendLine(std::string_view text) { return Send(std::string(text) + "\r\n"); }
  // Sends bytes on the socket itself, past any TLS layer (forged records).
  bool SendRaw(std::string_view data) { return RawSend(data); }
  // Runs the server side of a TLS handshake; later reads and sends go
  // through TLS.
  bool StartTls(int timeout_ms = 10000);
  // Holds the connection silent until the client closes it or the server stops.
  void Stall();
  void Close();
  bool closed() const { return fd_ < 0; }
  // Records a failure of the exchange.
  void Fail(const std::string& text);

 private:
  bool WaitReadable(int timeout_ms);
  bool FillBuffer(int timeout_ms);
  bool RawSend(std::string_view data);

  FakeServer& server_;
  int fd_;
  std::string buffer_;
  struct Tls;
  std::unique_ptr<Tls> tls_;
};

class FakeServer {
 public:
  using Handler = std::function<void(FakeConnection&)>;

  // Serves every accepted connection with the script.
  explicit FakeServer(std::string script);
  // Serves every accepted connection with the handler.
  explicit FakeServer(Handler handler);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int port() const { return port_; }
  // Waits until `connections` connections have been served to their end.
  bool WaitDone(int connections = 1, int timeout_ms = 10000);
  // Stops serving: wakes a stalled connection, closes the listener, joins.
  void Stop();

  int served() const;
  // Every line the clients sent, each followed by "\n".
  std::string Received() const;
  // The recorded failures, one a line; empty when every step went as scripted.
  std::string Failures() const;

  // Runs one script over a connection (also usable from a handler).
  static void RunScript(FakeConnection& conn, std::string_view script);

 private:
  friend class FakeConnection;
  void Serve();
  void AddFailure(const std::string& text);
  void AddReceived(const std::string& line);

  Handler handler_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable done_cv_;
  int served_ = 0;
  std::string received_;
  std::string failures_;
};

}  // namespace tarnwick::test
