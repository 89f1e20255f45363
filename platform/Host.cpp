#include "platform/Host.h"

#include <unistd.h>

#include <climits>

namespace tarnwick {

std::string ComputerName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string name(buf);
  if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  if (name.size() > 15) name.resize(15);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

}  // namespace tarnwick
