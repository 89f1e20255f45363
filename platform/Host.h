// Facts about this computer.
#pragma once

#include <string>

namespace tarnwick {

// This computer's short name: the first label of the host name, upper-cased,
// at most 15 characters. Empty when the host name cannot be read.
std::string ComputerName();

}  // namespace tarnwick
