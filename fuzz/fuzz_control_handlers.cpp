// Control requests from arbitrary bytes, read by the engine-side reader and
// carried out by the control server's handlers against a real engine context
// in a private folder (no scheduler threads). Nothing may crash, and the
// configuration must stay loadable whatever the requests did to it.
//
// Account tests are started only from a request naming a configuration
// block; those are left out so that the fuzzer never opens network sessions.
// Fetching a test result is carried out.
#include "config/ConfigStore.h"
#include "control/ControlMessage.h"
#include "engine/ControlServer.h"
#include "engine/EngineContext.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

using namespace tarnwick;

namespace {

struct Engine {
  std::string folder;
  std::unique_ptr<EngineContext> context;
  std::unique_ptr<ControlServer> server;

  Engine() {
    std::string tmpl = "/tmp/tarnwick-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    folder = tmpl;
    std::filesystem::create_directories(folder + "/conf");
    std::filesystem::create_directories(folder + "/log");
    context = std::make_unique<EngineContext>(folder);
    // Not started: Handle runs the handlers on the calling thread.
    server = std::make_unique<ControlServer>(*context, folder + "/control.sock");
  }
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Engine& e = TheEngine();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ControlReader reader(ControlReader::Side::kEngine, 1 << 20);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t used = 0;
    auto status = reader.Feed(std::span<const char>(bytes.data() + pos, bytes.size() - pos), used);
    pos += used;
    if (status != ControlReader::Status::kMessage) break;
    ControlMessage m = reader.Take();
    if (m.type == kTestAccount && RequestHeadValue(m.Text(), kConfigNameField)) continue;
    e.server->Handle(m);
    if (used == 0) break;
  }
  // Whatever was stored must read back as a configuration.
  if (!e.context->Config().Snapshot("config")) abort();
  return 0;
}
