// The administration side's end of the control pipe: connect, read the
// greeting, then one request and one reply at a time. Every call blocks and
// returns 0 or the system's error number (platform/Errors.h).
#pragma once

#include "control/ControlMessage.h"
#include "platform/LocalSocket.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// The control socket of the engine whose pipe is called pipeName:
// run/tarnwick/<pipeName> below the system root.
std::string ControlSocketPath(std::string_view pipeName = kControlPipeName);

class ControlClient {
 public:
  // How long Open waits while the engine has no room for another connection.
  static constexpr int64_t kBusyWaitMs = 10000;
  // Longest time between two reads that return data while receiving.
  static constexpr int64_t kReadLimitMs = 60000;

  explicit ControlClient(int64_t readLimitMs = kReadLimitMs) : readLimitMs_(readLimitMs) {}

  // Closes any open connection and connects to the engine. The greeting is
  // not read here; Receive reads it.
  int Open(std::string_view pipeName = kControlPipeName);
  int OpenPath(const std::string& socketPath);
  bool IsOpen() const { return socket_.IsOpen(); }

  // Reads one message by byte count: the 12-byte head, then the rest. Fails
  // when the engine closes, when more than the read limit passes without
  // data, or when the framing is wrong (10054, 10060, 87).
  int Receive(ControlMessage& out);

  // Writes one request with the request magic, in pieces of at most 8194
  // bytes; a piece that cannot be written within the read limit fails.
  int Send(int32_t type, std::string_view data);

  // Send, then Receive; reply receives the reply's text (empty when none).
  int Exchange(int32_t type, std::string_view data, std::string& reply);

  void Close() { socket_.Close(); }

 private:
  LocalSocket socket_;
  int64_t readLimitMs_;
};

}  // namespace tarnwick
