// The service program: keeps the engine TarnwickSvr running, and installs
// and removes itself as the systemd service "tarnwick".
#include "platform/FileInfo.h"
#include "service/ServiceModule.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string self = tarnwick::ProgramFilePath();
  if (self.empty() && argc > 0) self = argv[0];
  tarnwick::CServiceModule module(self);
  return module.Main(args);
}
