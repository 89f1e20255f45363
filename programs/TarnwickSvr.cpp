// The engine. Does its work only when started with "/s"; then it runs until
// it is terminated from outside.
#include "engine/EngineHost.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Startup.h"

#include <cstring>
#include <memory>

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "/s") != 0) return 0;
  // Lives until the process is terminated: the engine has no orderly shutdown.
  std::unique_ptr<tarnwick::EngineHost> host;
  try {
    tarnwick::DetachFromConsole();
    tarnwick::IgnoreBrokenPipe();
    host = std::make_unique<tarnwick::EngineHost>(tarnwick::ApplicationFolder());
    host->Start();
  } catch (...) {
    return 0;
  }
  for (;;) tarnwick::SystemClock().SleepMs(100);
}
