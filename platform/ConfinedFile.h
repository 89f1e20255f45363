// Files that a setting names but that must stay inside one folder: a name is
// taken relative to the folder (an absolute name must lie inside it), ".."
// is refused, and no symbolic link is followed on the way or at the end.
#pragma once

#include "platform/Files.h"

#include <string>

namespace tarnwick {

// The name relative to folder, without "." pieces or doubled "/". 0, or 123
// (invalid name) when the name is empty, holds "..", or is an absolute path
// outside folder.
int ConfinedRelativeName(const std::string& folder, const std::string& name, std::string& relative);

// Opens (creating with mode 0600) the regular file folder/name for
// appending. Fails with 123 as above, with the open's error for a symbolic
// link or missing folder, and with 5 for a name that is not a regular file.
int OpenAppendConfined(const std::string& folder, const std::string& name, FileHandle& out);

}  // namespace tarnwick
