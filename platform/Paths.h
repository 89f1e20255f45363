// Where the system's files live.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// The system root: "/" unless TARNWICK_SYSROOT is set and non-empty.
// Machine-wide state (registry file, control sockets, service unit) lives
// below it.
std::string SystemRoot();
// A path below the system root ("etc/tarnwick/registry" -> "<root>/etc/...").
std::string UnderSystemRoot(std::string_view relative);

// The folder of the running program file (symlinks resolved), cut once more
// when its last component is "x64" in any letter case.
std::string ApplicationFolder();
// The same rule applied to a given program file path.
std::string ApplicationFolderOf(std::string_view programPath);

}  // namespace tarnwick
