#include "control/ControlClient.h"

#include "platform/Errors.h"
#include "platform/Paths.h"

#include <algorithm>
#include <chrono>

namespace tarnwick {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string ControlSocketPath(std::string_view pipeName) {
  return UnderSystemRoot(std::string("run/tarnwick/") + std::string(pipeName));
}

int ControlClient::Open(std::string_view pipeName) { return OpenPath(ControlSocketPath(pipeName)); }

int ControlClient::OpenPath(const std::string& socketPath) {
  return socket_.Connect(socketPath, kBusyWaitMs);
}

int ControlClient::Receive(ControlMessage& out) {
  if (!socket_.IsOpen()) return err::kNotConnected;
  ControlReader reader(ControlReader::Side::kAdmin);
  char buf[65536];
  int64_t lastData = NowMs();
  for (;;) {
    // Ask for no more than the current counted step needs, so that nothing
    // of a following message is taken.
    std::size_t want = std::min(reader.Wanted(), sizeof buf);
    int64_t left = readLimitMs_ - (NowMs() - lastData);
    if (left <= 0) return err::kTimedOut;
    bool ready = false;
    if (int e = socket_.WaitReadable(left, ready)) return e;
    if (!ready) return err::kTimedOut;
    std::size_t got = 0;
    bool wouldBlock = false;
    if (int e = socket_.Read(buf, want, got, wouldBlock)) return e;
    if (wouldBlock) continue;
    if (got == 0) return err::kConnReset;  // the engine closed the connection
    lastData = NowMs();
    std::size_t consumed = 0;
    switch (reader.Feed(std::span<const char>(buf, got), consumed)) {
      case ControlReader::Status::kNeedMore:
        break;
      case ControlReader::Status::kMessage:
        out = reader.Take();
        return 0;
      case ControlReader::Status::kError:
        return err::kInvalidParameter;
    }
  }
}

int ControlClient::Send(int32_t type, std::string_view data) {
  if (!socket_.IsOpen()) return err::kNotConnected;
  const std::string message = EncodeControlMessage(kRequestMagic, type, data);
  std::size_t done = 0;
  while (done < message.size()) {
    std::size_t piece = std::min(kAdminPieceSize, message.size() - done);
    std::size_t written = 0;
    bool wouldBlock = false;
    if (int e = socket_.Write(message.data() + done, piece, written, wouldBlock)) return e;
    if (wouldBlock) {
      bool ready = false;
      if (int e = socket_.WaitWritable(readLimitMs_, ready)) return e;
      if (!ready) return err::kTimedOut;
      continue;
    }
    if (written == 0) return err::kConnReset;
    done += written;
  }
  return 0;
}

int ControlClient::Exchange(int32_t type, std::string_view data, std::string& reply) {
  reply.clear();
  if (int e = Send(type, data)) return e;
  ControlMessage m;
  if (int e = Receive(m)) return e;
  reply.assign(m.Text());
  return 0;
}

}  // namespace tarnwick
