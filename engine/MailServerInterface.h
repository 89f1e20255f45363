// What the engine knows of the local mail server: its folders and two of its
// files. Every path is built anew on each call; nothing is cached.
#pragma once

#include <string>

namespace tarnwick {

// Default value of registry key HKEY_LOCAL_MACHINE\Software\Varnholt when it
// is a string of at most 260 characters, else "/opt/varnholt".
std::string MailServerRoot();
// root + "/data", or the value of the "storage/datafolder:" line of
// root + "/conf/config.txt".
std::string MailServerDataFolder();
// root + "/queue".
std::string MailServerQueueFolder();

// The user folder <dataFolder>/<domain>/user/<user> exists. Domain and user
// folders whose names differ from the given ones only in ASCII letter case
// count when no folder has the exact name.
bool MailboxExists(const std::string& dataFolder, const std::string& user, const std::string& domain);
// <dataFolder>/<domain>/domain.dat is at least 160 bytes and its little-endian
// int32 at offset 84 is above 0. The domain folder is found as above.
bool DomainAcceptsAll(const std::string& dataFolder, const std::string& domain);

}  // namespace tarnwick
