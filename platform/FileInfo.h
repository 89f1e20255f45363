// Small questions and changes about one file.
#pragma once

#include <string>

namespace tarnwick {

// chmod; 0 or the system's error number.
int SetFileMode(const std::string& path, unsigned mode);
// The path with every symbolic link, "." and ".." resolved (realpath); the
// path unchanged when that fails (the file is missing).
std::string CanonicalPath(const std::string& path);
// The full path of the running program file (symlinks resolved).
std::string ProgramFilePath();

}  // namespace tarnwick
