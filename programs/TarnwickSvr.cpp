// The engine. Does its work only when started with "/s"; then it runs until
// it is terminated from outside. One engine per system root: a second one
// says which engine runs and exits with code 1, having changed nothing.
#include "engine/EngineHost.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Startup.h"

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "/s") != 0) return 0;
  // Before anything else is touched: another engine on this system root
  // owns the control socket, the queue and every uidl.txt.
  static tarnwick::InstanceLock lock;
  int holder = 0;
  if (int e = tarnwick::EngineHost::ClaimSystemRoot(lock, holder)) {
    std::string lockPath = tarnwick::EngineHost::LockFilePath();
    if (e == tarnwick::err::kAlreadyExists)
      std::fprintf(stderr, "TarnwickSvr: engine process %d already runs for system root %s (lock %s); exiting\n",
                   holder, tarnwick::SystemRoot().c_str(), lockPath.c_str());
    else
      std::fprintf(stderr, "TarnwickSvr: cannot lock %s: %s; exiting\n", lockPath.c_str(),
                   tarnwick::SystemMessage(e).c_str());
    return 1;
  }
  // Lives until the process is terminated: the engine has no orderly shutdown.
  std::unique_ptr<tarnwick::EngineHost> host;
  try {
    tarnwick::DetachFromConsole();
    tarnwick::IgnoreBrokenPipe();
    host = std::make_unique<tarnwick::EngineHost>(tarnwick::ApplicationFolder());
    if (!host->Start())
      std::fprintf(stderr, "TarnwickSvr: the control server could not be started; no account is pulled\n");
  } catch (...) {
    return 0;
  }
  for (;;) tarnwick::SystemClock().SleepMs(100);
}
