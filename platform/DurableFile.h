// Files that must survive a crash whole or not at all: written under a
// temporary name, flushed to disk, then given their final name without ever
// replacing another file.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tarnwick {

// A name that no other thread or process of this machine makes at the same
// time: "<pid>.<thread id>.<counter>".
std::string UniqueFileTag();

// Creates path (failing with err::kFileExists when it exists), writes the
// pieces one after another and flushes the file to disk. On failure the
// partly written file is removed. Returns 0 or the system's error number.
int WriteNewFileSynced(const std::string& path, std::initializer_list<std::string_view> pieces);

// Gives the file from the name to, failing with err::kFileExists when to
// exists (the file then keeps its old name), and flushes the folder so that
// the new name is on disk. Returns 0 or the system's error number.
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace tarnwick
