#include "engine/ControlServer.h"

#include "config/ConfigBlock.h"
#include "engine/EngineContext.h"
#include "platform/AsciiText.h"
#include "platform/Clock.h"
#include "platform/Files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <vector>

namespace tarnwick {

namespace {

constexpr uint64_t kListenerTag = 0;
// A socket that cannot be bound yet, or an accept that fails for lack of
// descriptors, is tried again after this long.
constexpr int64_t kRetryMs = 100;
// New connections taken per wake-up, so that a crowd of them cannot hold up
// the ones already open.
constexpr int kAcceptBurst = 64;
constexpr std::size_t kReadChunk = 65536;

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ControlServer::Reply Refuse() { return {}; }

ControlServer::Reply Answer(int32_t type, std::string text = {}) {
  return ControlServer::Reply{true, type, std::move(text)};
}

}  // namespace

struct ControlServer::Connection {
  uint64_t id = 0;
  LocalSocket socket;
  ControlReader reader{ControlReader::Side::kEngine};
  // Bytes read but not yet fed to the reader: a request that follows the one
  // being answered waits here until its turn.
  std::string pending;
  std::size_t pendingPos = 0;
  std::string outgoing;
  std::size_t written = 0;
  bool writing = false;
  bool watchRead = false;
  bool watchWrite = false;
  bool dead = false;  // to be closed once the current event is handled
};

ControlServer::ControlServer(EngineContext& engine, std::string socketPath)
    : engine_(engine), socketPath_(std::move(socketPath)) {}

ControlServer::~ControlServer() { Stop(); }

int ControlServer::Start() {
  if (thread_.joinable() || poller_.Status() != 0) return -1;
  int first = listener_.Listen(socketPath_);
  if (first == 0) {
    if (poller_.Add(listener_.Handle(), kListenerTag, true, false) == 0) listening_ = true;
    else listener_.Close();
  }
  try {
    thread_ = std::thread([this] { ListenerLoop(); });
  } catch (const std::system_error&) {
    listener_.Close();
    listening_ = false;
    return -1;
  }
  return first;
}

void ControlServer::Stop() {
  stop_.store(true);
  poller_.Wake();
  if (thread_.joinable()) thread_.join();
}

bool ControlServer::TryListen() {
  if (listener_.Listen(socketPath_) != 0) return false;
  if (poller_.Add(listener_.Handle(), kListenerTag, true, false) != 0) {
    listener_.Close();
    return false;
  }
  listening_ = true;
  return true;
}

void ControlServer::ListenerLoop() {
  std::vector<Poller::Event> events;
  while (!stop_.load()) {
    if (!listening_ && !TryListen()) {
      poller_.Wait(kRetryMs, events);  // ends early on Stop
      continue;
    }
    int64_t timeout = -1;
    if (acceptPausedUntil_ != 0) timeout = std::max<int64_t>(0, acceptPausedUntil_ - MonotonicMs());
    if (poller_.Wait(timeout, events) != 0) continue;
    if (acceptPausedUntil_ != 0 && MonotonicMs() >= acceptPausedUntil_) {
      acceptPausedUntil_ = 0;
      poller_.Modify(listener_.Handle(), kListenerTag, true, false);
    }
    for (const Poller::Event& ev : events) {
      if (ev.tag == Poller::kWakeTag) continue;
      if (ev.tag == kListenerTag) {
        AcceptAll();
        continue;
      }
      auto it = connections_.find(ev.tag);
      if (it == connections_.end()) continue;
      Connection& c = *it->second;
      if (ev.writable && c.writing) {
        if (WriteSome(c)) ProcessInput(c);
      } else if (ev.readable && !c.writing && !c.dead) OnReadable(c);
      else if (ev.hangup) c.dead = true;
      if (c.dead) CloseConnection(ev.tag);
    }
  }
  while (!connections_.empty()) CloseConnection(connections_.begin()->first);
  listener_.Close();
  listenerEnded_.store(true);
}

void ControlServer::AcceptAll() {
  for (int i = 0; i < kAcceptBurst; ++i) {
    LocalSocket socket;
    bool wouldBlock = false;
    if (listener_.Accept(socket, wouldBlock) != 0) {
      // Out of descriptors or memory: leave the waiting clients in the
      // backlog for a moment instead of spinning on them.
      poller_.Modify(listener_.Handle(), kListenerTag, false, false);
      acceptPausedUntil_ = MonotonicMs() + kRetryMs;
      return;
    }
    if (wouldBlock) return;
    uint64_t id = 0;
    try {
      auto c = std::make_unique<Connection>();
      c->socket = std::move(socket);
      c->id = id = nextId_++;
      if (poller_.Add(c->socket.Handle(), id, false, false) != 0) continue;
      connections_.emplace(id, std::move(c));
    } catch (const std::exception&) {
      continue;  // the socket closes with its owner; the listener goes on
    }
    openConnections_.fetch_add(1);
    Connection& c = *connections_[id];
    Greet(c);
    if (c.dead) CloseConnection(id);
  }
}

void ControlServer::Greet(Connection& c) {
  char sid[32];
  std::snprintf(sid, sizeof sid, "sid:%d\r\n", static_cast<int32_t>(TickCountMs()));
  StartReply(c, kHello, sid);
  if (!c.dead) ProcessInput(c);
}

void ControlServer::OnReadable(Connection& c) {
  char buf[kReadChunk];
  std::size_t got = 0;
  bool wouldBlock = false;
  if (c.socket.Read(buf, sizeof buf, got, wouldBlock) != 0) {
    c.dead = true;
    return;
  }
  if (wouldBlock) return;
  if (got == 0) {  // the client went away
    c.dead = true;
    return;
  }
  if (c.pendingPos == c.pending.size()) {
    c.pending.clear();
    c.pendingPos = 0;
  }
  c.pending.append(buf, got);
  ProcessInput(c);
}

void ControlServer::ProcessInput(Connection& c) {
  // Requests are served strictly in turn: nothing more is read while a
  // reply is being written.
  while (!c.writing && !c.dead && c.pendingPos < c.pending.size()) {
    std::size_t consumed = 0;
    std::span<const char> input(c.pending.data() + c.pendingPos, c.pending.size() - c.pendingPos);
    ControlReader::Status status = c.reader.Feed(input, consumed);
    c.pendingPos += consumed;
    if (status == ControlReader::Status::kNeedMore) break;
    if (status == ControlReader::Status::kError) {
      c.dead = true;
      return;
    }
    Reply reply;
    try {
      reply = Handle(c.reader.Take());
    } catch (const std::exception&) {
      reply = Refuse();
    }
    if (!reply.handled) {
      c.dead = true;
      return;
    }
    StartReply(c, reply.type, reply.text);
  }
  if (c.dead) return;
  if (c.pendingPos == c.pending.size()) {
    c.pending.clear();
    c.pendingPos = 0;
  }
  WatchFor(c, !c.writing, c.writing);
}

void ControlServer::StartReply(Connection& c, int32_t type, std::string_view text) {
  c.outgoing = EncodeControlMessage(kReplyMagic, type, text);
  c.written = 0;
  c.writing = true;
  WriteSome(c);
}

bool ControlServer::WriteSome(Connection& c) {
  while (c.written < c.outgoing.size()) {
    std::size_t piece = std::min(kEnginePieceSize, c.outgoing.size() - c.written);
    std::size_t n = 0;
    bool wouldBlock = false;
    if (c.socket.Write(c.outgoing.data() + c.written, piece, n, wouldBlock) != 0 ||
        (!wouldBlock && n == 0)) {
      c.dead = true;
      return false;
    }
    if (wouldBlock) {
      WatchFor(c, false, true);
      return false;
    }
    c.written += n;
  }
  c.outgoing.clear();
  c.outgoing.shrink_to_fit();
  c.written = 0;
  c.writing = false;
  return true;
}

void ControlServer::WatchFor(Connection& c, bool read, bool write) {
  if (c.watchRead == read && c.watchWrite == write) return;
  if (poller_.Modify(c.socket.Handle(), c.id, read, write) != 0) {
    c.dead = true;
    return;
  }
  c.watchRead = read;
  c.watchWrite = write;
}

void ControlServer::CloseConnection(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  poller_.Remove(it->second->socket.Handle());
  connections_.erase(it);
  openConnections_.fetch_sub(1);
}

ControlServer::Reply ControlServer::Handle(const ControlMessage& m) {
  switch (m.type) {
    case kHello: return Answer(kHello);
    case kRunNow: return RunNow(m);
    case kGetConfig: return GetConfig(m);
    case kPutConfig: return PutConfig(m);
    case kStatusList: return StatusList();
    case kLogList: return LogList();
    case kTestAccount: return TestAccount(m);
    default: return Refuse();  // Bye, and anything the reader let through
  }
}

ControlServer::Reply ControlServer::RunNow(const ControlMessage& m) {
  std::optional<ConfigBlock> block = ParseConfig(m.Text());
  if (!block) return Refuse();
  // The scheduler queues its own deep copy.
  engine_.Scheduler().Enqueue(*block);
  return Answer(kPutConfig);  // the reply to RunNow is of type 3
}

ControlServer::Reply ControlServer::GetConfig(const ControlMessage& m) {
  std::string path = RequestHeadValue(m.Text(), kConfigNameField).value_or("");
  std::optional<ConfigBlock> copy = engine_.Config().Snapshot(path);
  if (!copy) return Refuse();
  return Answer(kGetConfig, SerializeConfig(*copy));
}

ControlServer::Reply ControlServer::PutConfig(const ControlMessage& m) {
  std::string path = RequestHeadValue(m.Text(), kConfigNameField).value_or("");
  std::optional<std::string_view> body = RequestBody(m.Text());
  if (!body) return Refuse();
  std::optional<ConfigBlock> block = ParseConfig(*body);
  if (!block) return Refuse();
  // An unknown path changes nothing; the reply is the same.
  engine_.Config().Replace(path, std::move(*block));
  return Answer(kPutConfig);
}

ControlServer::Reply ControlServer::StatusList() {
  return Answer(kStatusList, engine_.Scheduler().StatusReport());
}

ControlServer::Reply ControlServer::LogList() {
  const std::string folder = JoinPath(engine_.ApplicationFolder(), "log");
  std::string text;
  // In name order, so that the daily files come in date order (a folder
  // listing itself comes in whatever order the file system keeps).
  std::vector<std::string> names = ListFiles(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!EndsWithNoCase(name, ".log.txt")) continue;
    text += JoinPath(folder, name);
    text += "\r\n";
  }
  return Answer(kLogList, std::move(text));
}

ControlServer::Reply ControlServer::TestAccount(const ControlMessage& m) {
  std::string_view data = m.Text();
  if (RequestHeadValue(data, kConfigNameField)) {
    std::optional<std::string_view> body = RequestBody(data);
    if (!body) return Refuse();
    std::optional<ConfigBlock> block = ParseConfig(*body);
    if (!block) return Refuse();
    engine_.Tests().Start(std::move(*block));
    return Answer(kTestAccount);
  }
  if (std::optional<std::string> name = RequestHeadValue(data, kTestResultField))
    return Answer(kTestAccount, engine_.Tests().FetchResult(*name));
  return Refuse();
}

}  // namespace tarnwick
