// The engine's end of the control pipe. One listener thread serves every
// connection at once over non-blocking sockets: it greets each new client
// with "sid:<tick count>", then alternately reads one request and writes its
// reply, and every handler runs on that thread.
//
//   S: [type 0] "sid:12345\r\n"
//   C: [type 2] "config_name: config/mailpull"
//   S: [type 2] "BEGIN:mailpull\r\n...END:mailpull\r\n"
//   C: [type 7]                                  (the engine closes)
//
// A malformed head, a request a handler refuses, a failed read or write, or
// a "Bye" closes that connection without a reply; nothing else is affected.
// A client that sends nothing keeps its connection as long as it likes.
#pragma once

#include "control/ControlMessage.h"
#include "platform/LocalSocket.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace tarnwick {

class EngineContext;

class ControlServer {
 public:
  // socketPath: the control socket, run/tarnwick/<pipe name> below the
  // system root.
  ControlServer(EngineContext& engine, std::string socketPath);
  // Stops the listener and closes every connection.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds the socket and starts the listener thread. When the socket cannot
  // be bound yet, the listener tries again every 100 ms; the first
  // attempt's error is returned (0: listening). -1 when the thread could not
  // be started or the server was started before.
  int Start();
  // Ends the listener loop and joins it. The engine itself never calls it.
  void Stop();

  // Connections accepted and not yet closed.
  int32_t OpenConnections() const { return openConnections_.load(); }
  // Set when the listener thread has left its loop.
  bool ListenerEnded() const { return listenerEnded_.load(); }

  // One request's reply: handled tells whether a reply is to be sent
  // (false closes the connection without one).
  struct Reply {
    bool handled = false;
    int32_t type = 0;
    std::string text;
  };
  // Carries out one request against the engine's shared objects.
  Reply Handle(const ControlMessage& request);

 private:
  struct Connection;

  void ListenerLoop();
  bool TryListen();
  void AcceptAll();
  void Greet(Connection& c);
  void OnReadable(Connection& c);
  // Feeds buffered bytes to the reader and answers the requests found, one
  // at a time, until a reply cannot be written at once or input runs out.
  void ProcessInput(Connection& c);
  void StartReply(Connection& c, int32_t type, std::string_view text);
  // Writes what the socket takes of the current reply; true when all is out.
  bool WriteSome(Connection& c);
  void WatchFor(Connection& c, bool read, bool write);
  void CloseConnection(uint64_t id);

  Reply RunNow(const ControlMessage& m);
  Reply GetConfig(const ControlMessage& m);
  Reply PutConfig(const ControlMessage& m);
  Reply StatusList();
  Reply LogList();
  Reply TestAccount(const ControlMessage& m);

  EngineContext& engine_;
  std::string socketPath_;
  Poller poller_;
  LocalListener listener_;
  bool listening_ = false;
  int64_t acceptPausedUntil_ = 0;  // monotonic ms; accept failures back off
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  uint64_t nextId_ = 1;
  std::atomic<bool> stop_{false};
  std::atomic<int32_t> openConnections_{0};
  std::atomic<bool> listenerEnded_{false};
  std::thread thread_;
};

}  // namespace tarnwick
