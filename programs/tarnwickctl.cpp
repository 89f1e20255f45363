// tarnwickctl: administers the running engine from the command line.
#include "admin/CommandLine.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
  tarnwick::CtlConsole console = tarnwick::CtlConsole::Standard();
  return tarnwick::RunTarnwickCtl(std::vector<std::string>(argv + 1, argv + argc), console);
}
