// The terminal and the user running a command-line tool.
#pragma once

#include <optional>
#include <string>

namespace tarnwick {

// Whether standard input is a terminal.
bool StdinIsTerminal();

// Writes prompt to the terminal and reads one line from it with echo off.
// nullopt when there is no terminal or reading fails.
std::optional<std::string> ReadSecretFromTerminal(const std::string& prompt);

// Reads one line from standard input (without its line end); nullopt at the
// end of input before any byte.
std::optional<std::string> ReadLineFromStdin();

// Owner, group and mode of a file system object.
struct FileAccess {
  std::string owner;  // user name, or the number when it has none
  std::string group;  // group name, or the number
  unsigned mode = 0;  // permission bits
};
std::optional<FileAccess> FileAccessOf(const std::string& path);

// Whether the system has a group of that name.
bool GroupExists(const std::string& name);

// Name of the user running this process (the number when it has none).
std::string CurrentUserName();

}  // namespace tarnwick
