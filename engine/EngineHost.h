// The engine process: creates its folders and the EngineContext, then starts
// the control server, the scheduler and the pull workers.
#pragma once

#include "engine/ControlServer.h"
#include "engine/EngineContext.h"
#include "platform/InstanceLock.h"

#include <atomic>
#include <memory>
#include <string>

namespace tarnwick {

// Identifier of the control pipe; the socket is run/tarnwick/<id> under the
// system root.
inline constexpr std::string_view kControlPipeId = "{9C420762-FF33-41ad-8474-F1958652C2EF}";

class EngineHost {
 public:
  // Creates the folders "log", "conf" and "pull" (mode 0700) in the
  // application folder, then the EngineContext, which loads the configuration.
  explicit EngineHost(const std::string& applicationFolder, Clock& clock = SystemClock(),
                      std::unique_ptr<AccountJob> job = nullptr);
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;

  // One engine per system root: takes the exclusive lock on the file beside
  // the control socket (run/tarnwick/<id>.lock), held until the lock object
  // goes away. Taken before anything else is touched, so that a second
  // engine changes nothing: not the folders, not the control socket, not the
  // queue. 0 when held; 183 when another engine holds it (its process id in
  // holderPid when known); otherwise the system's error number.
  static int ClaimSystemRoot(InstanceLock& lock, int& holderPid);
  static std::string LockFilePath();
  static std::string ControlSocketPath();

  // Starts the threads; false when already started or when the control
  // server could not be started: then both flags are back at 1 and neither
  // the scheduler nor the workers run.
  bool Start();

  EngineContext& Engine() { return engine_; }
  const std::string& PipeName() const { return pipeName_; }
  // The control server runs while this is false.
  bool StopRequested() const { return stop_.load() != 0; }
  // The control server, once started.
  ControlServer* Control() { return control_.get(); }

 private:
  static const std::string& CreateFolders(const std::string& applicationFolder);

  std::atomic<int> stop_{1};
  std::atomic<int> idle_{1};
  std::string pipeName_;
  EngineContext engine_;
  // After the context it serves, so that it is stopped first.
  std::unique_ptr<ControlServer> control_;
};

}  // namespace tarnwick
