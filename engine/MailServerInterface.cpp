#include "engine/MailServerInterface.h"

#include "platform/AsciiText.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Registry.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

constexpr std::string_view kDefaultRoot = "/opt/varnholt";
constexpr std::size_t kMaxRootChars = 260;
constexpr std::size_t kDomainFileSize = 160;
constexpr std::size_t kAcceptAllOffset = 84;

// Characters of UTF-8 text (bytes that do not continue a sequence).
std::size_t CharCount(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// User and domain names come from the account and from message recipients;
// one that could leave the data folder ("..", "a/b") names no mailbox.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The folder in parent named name. Mail addresses match without regard to
// letter case, so when no folder has exactly that name, one whose name
// differs only in ASCII letter case is taken (the first in byte order, when
// several do). Empty when there is none. name must be a plain name.
std::string FindFolderNoCase(const std::string& parent, const std::string& name) {
  std::string exact = JoinPath(parent, name);
  if (FolderExists(exact)) return exact;
  std::vector<std::string> names = ListFolders(parent);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names)
    if (EqualsNoCase(n, name)) return JoinPath(parent, n);
  return {};
}

std::string_view TrimValue(std::string_view s) {
  constexpr std::string_view kTrim = " \t\r\n;";
  std::size_t b = s.find_first_not_of(kTrim);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(kTrim);
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string MailServerRoot() {
  RegValue v;
  if (RegReadValue(RegHive::LocalMachine, "Software\\Varnholt", "", v) == 0 &&
      (v.type == RegType::String || v.type == RegType::ExpandString) && !v.text.empty() &&
      CharCount(v.text) <= kMaxRootChars) {
    return v.text;
  }
  return std::string(kDefaultRoot);
}

std::string MailServerDataFolder() {
  std::string root = MailServerRoot();
  std::string folder = JoinPath(root, "data");
  std::string text;
  if (ReadWholeFile(JoinPath(root, "conf/config.txt"), text) != 0) return folder;

  // The setting has to start a line, and the search includes the line break
  // in front of it, so it is never found on the file's first line.
  constexpr std::string_view kKey = "\nstorage/datafolder:";
  std::size_t at = text.find(kKey);
  if (at == std::string::npos) return folder;
  std::size_t begin = at + kKey.size();
  std::size_t end = text.find('\n', begin);
  if (end == std::string::npos) return folder;
  std::string_view value = TrimValue(std::string_view(text).substr(begin, end - begin));
  if (!value.empty()) folder = std::string(value);
  return folder;
}

std::string MailServerQueueFolder() { return JoinPath(MailServerRoot(), "queue"); }

bool MailboxExists(const std::string& dataFolder, const std::string& user, const std::string& domain) {
  if (!IsPlainName(user) || !IsPlainName(domain)) return false;
  std::string domainFolder = FindFolderNoCase(dataFolder, domain);
  if (domainFolder.empty()) return false;
  return !FindFolderNoCase(JoinPath(domainFolder, "user"), user).empty();
}

bool DomainAcceptsAll(const std::string& dataFolder, const std::string& domain) {
  if (!IsPlainName(domain)) return false;
  std::string domainFolder = FindFolderNoCase(dataFolder, domain);
  if (domainFolder.empty()) return false;
  std::string path = JoinPath(domainFolder, "domain.dat");
  std::string head;
  int e = ReadFilePrefix(path, kDomainFileSize, head);
  if (e != 0 && e != err::kFileNotFound && e != err::kPathNotFound && e != err::kInvalidName) {
    // The mail server may be rewriting the file; give it a moment.
    SystemClock().SleepMs(50);
    e = ReadFilePrefix(path, kDomainFileSize, head);
  }
  if (e != 0 || head.size() < kDomainFileSize) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(head.data() + kAcceptAllOffset);
  uint32_t raw = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return static_cast<int32_t>(raw) > 0;
}

}  // namespace tarnwick
