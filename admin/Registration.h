// Registration of the three classes, the AppID and the type library in the
// registry, for the whole machine (classes root) or for the current user
// (HKEY_CURRENT_USER\Software\Classes).
#pragma once

#include <string>

namespace tarnwick {

// Writes every entry; modulePath is the library's file. 0 or the system's
// error number of the first write that failed.
int RegisterModule(const std::string& modulePath, bool perUser);
// Removes every entry written by RegisterModule (missing ones are fine).
int UnregisterModule(bool perUser);

}  // namespace tarnwick
