#include "platform/Registry.h"

#include "platform/AsciiText.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace tarnwick {

namespace {

constexpr struct {
  RegHive hive;
  std::string_view name;
} kHives[] = {
    {RegHive::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {RegHive::ClassesRoot, "HKEY_CLASSES_ROOT"},
    {RegHive::CurrentUser, "HKEY_CURRENT_USER"},
};

std::string_view HiveName(RegHive hive) {
  for (const auto& h : kHives)
    if (h.hive == hive) return h.name;
  return kHives[0].name;
}

// Key paths are kept without leading or trailing backslashes.
std::string_view TrimKey(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool Storable(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// Reads a quoted string at the start of s ("\\" and "\"" are the escapes; any
// other backslash stays as it is). Advances s past the closing quote.
std::optional<std::string> ReadQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  std::size_t i = 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return std::nullopt;  // no closing quote
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::optional<RegValue> ParseData(std::string_view s) {
  constexpr std::string_view kExpand = "expand:";
  constexpr std::string_view kDword = "dword:";
  RegValue v;
  if (s.size() >= kDword.size() && EqualsNoCase(s.substr(0, kDword.size()), kDword)) {
    std::string_view hex = s.substr(kDword.size());
    if (hex.empty() || hex.size() > 8) return std::nullopt;
    uint32_t n = 0;
    for (char c : hex) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return std::nullopt;
      n = n * 16 + static_cast<uint32_t>(d);
    }
    return RegValue::Dword(n);
  }
  RegType type = RegType::String;
  if (s.size() >= kExpand.size() && EqualsNoCase(s.substr(0, kExpand.size()), kExpand)) {
    type = RegType::ExpandString;
    s.remove_prefix(kExpand.size());
  }
  auto text = ReadQuoted(s);
  if (!text || !TrimBlanks(s).empty()) return std::nullopt;
  v.type = type;
  v.text = std::move(*text);
  return v;
}

}  // namespace

RegistryData RegistryData::Parse(std::string_view text) {
  RegistryData reg;
  Key* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = TrimBlanks(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']') continue;
      std::string_view full = line.substr(1, line.size() - 2);
      std::size_t slash = full.find('\\');
      std::string_view hiveName = full.substr(0, slash);
      std::string_view path = slash == std::string_view::npos ? std::string_view() : TrimKey(full.substr(slash));
      if (path.empty()) continue;
      for (const auto& h : kHives)
        if (EqualsNoCase(hiveName, h.name)) current = &reg.MakeKey(h.hive, path);
      continue;
    }

    if (!current) continue;
    std::string name;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      auto quoted = ReadQuoted(rest);
      if (!quoted || quoted->empty()) continue;
      name = std::move(*quoted);
    }
    rest = TrimBlanks(rest);
    if (rest.empty() || rest.front() != '=') continue;
    auto value = ParseData(TrimBlanks(rest.substr(1)));
    if (!value) continue;
    // A value named twice: the later line wins, as on import.
    bool replaced = false;
    for (auto& v : current->values) {
      if (EqualsNoCase(v.name, name)) {
        v.value = std::move(*value);
        replaced = true;
        break;
      }
    }
    if (!replaced) current->values.push_back({std::move(name), std::move(*value)});
  }
  return reg;
}

std::string RegistryData::Serialize() const {
  std::string out;
  for (const auto& k : keys_) {
    if (!out.empty()) out += '\n';
    out += '[';
    out += HiveName(k.hive);
    out += '\\';
    out += k.path;
    out += "]\n";
    for (const auto& v : k.values) {
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += '=';
      switch (v.value.type) {
        case RegType::String: out += Quote(v.value.text); break;
        case RegType::ExpandString: out += "expand:" + Quote(v.value.text); break;
        case RegType::Dword: {
          char buf[16];
          snprintf(buf, sizeof buf, "dword:%08x", v.value.number);
          out += buf;
          break;
        }
      }
      out += '\n';
    }
  }
  return out;
}

RegistryData::Key* RegistryData::FindKey(RegHive hive, std::string_view key) {
  key = TrimKey(key);
  for (auto& k : keys_)
    if (k.hive == hive && EqualsNoCase(k.path, key)) return &k;
  return nullptr;
}

const RegistryData::Key* RegistryData::FindKey(RegHive hive, std::string_view key) const {
  return const_cast<RegistryData*>(this)->FindKey(hive, key);
}

RegistryData::Key& RegistryData::MakeKey(RegHive hive, std::string_view key) {
  if (Key* k = FindKey(hive, key)) return *k;
  keys_.push_back({hive, std::string(TrimKey(key)), {}});
  return keys_.back();
}

bool RegistryData::KeyExists(RegHive hive, std::string_view key) const {
  return FindKey(hive, key) != nullptr;
}

const RegValue* RegistryData::Find(RegHive hive, std::string_view key, std::string_view name) const {
  const Key* k = FindKey(hive, key);
  if (!k) return nullptr;
  for (const auto& v : k->values)
    if (EqualsNoCase(v.name, name)) return &v.value;
  return nullptr;
}

bool RegistryData::Set(RegHive hive, std::string_view key, std::string_view name, RegValue value) {
  if (TrimKey(key).empty() || !Storable(name) || !Storable(value.text) || !Storable(key)) return false;
  Key& k = MakeKey(hive, key);
  for (auto& v : k.values) {
    if (EqualsNoCase(v.name, name)) {
      v.value = std::move(value);
      return true;
    }
  }
  k.values.push_back({std::string(name), std::move(value)});
  return true;
}

void RegistryData::CreateKey(RegHive hive, std::string_view key) {
  if (!TrimKey(key).empty() && Storable(key)) MakeKey(hive, key);
}

bool RegistryData::DeleteValue(RegHive hive, std::string_view key, std::string_view name) {
  Key* k = FindKey(hive, key);
  if (!k) return false;
  for (auto it = k->values.begin(); it != k->values.end(); ++it) {
    if (EqualsNoCase(it->name, name)) {
      k->values.erase(it);
      return true;
    }
  }
  return false;
}

bool RegistryData::DeleteKey(RegHive hive, std::string_view key) {
  key = TrimKey(key);
  if (key.empty()) return false;
  std::size_t before = keys_.size();
  std::erase_if(keys_, [&](const Key& k) {
    if (k.hive != hive) return false;
    if (EqualsNoCase(k.path, key)) return true;
    return k.path.size() > key.size() && k.path[key.size()] == '\\' &&
           EqualsNoCase(std::string_view(k.path).substr(0, key.size()), key);
  });
  return keys_.size() != before;
}

std::string RegistryFilePath() { return UnderSystemRoot("etc/tarnwick/registry"); }

namespace {

// Serialises every read-modify-write of the file: a mutex between the threads
// of this process and an advisory lock on the registry folder between
// processes. Readers take it too, so they never see a half-done change
// (rename makes that impossible anyway, but it keeps the order simple).
class RegistryLock {
 public:
  explicit RegistryLock(bool create) : guard_(Mutex()) {
    std::string folder = UnderSystemRoot("etc/tarnwick");
    if (create) MakeFolders(folder, 0755);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      dir_.reset(fd);
      while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~RegistryLock() {
    if (dir_.valid()) ::flock(dir_.get(), LOCK_UN);
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  std::lock_guard<std::mutex> guard_;
  FileHandle dir_;
};

int Load(RegistryData& out) {
  std::string text;
  int e = ReadWholeFile(RegistryFilePath(), text);
  if (e == err::kFileNotFound || e == err::kPathNotFound) {
    out = RegistryData();
    return 0;
  }
  if (e) return e;
  out = RegistryData::Parse(text);
  return 0;
}

int Store(const RegistryData& reg) {
  std::string path = RegistryFilePath();
  if (int e = ReplaceFileAtomic(path, reg.Serialize())) return e;
  // Like the machine hive it stands for, the file is readable by every
  // local user and written by root.
  ::chmod(path.c_str(), 0644);
  return 0;
}

template <typename Change>
int Modify(Change change) {
  RegistryLock lock(true);
  RegistryData reg;
  if (int e = Load(reg)) return e;
  if (int e = change(reg)) return e;
  return Store(reg);
}

}  // namespace

int RegReadValue(RegHive hive, std::string_view key, std::string_view name, RegValue& out) {
  RegistryLock lock(false);
  RegistryData reg;
  if (int e = Load(reg)) return e;
  const RegValue* v = reg.Find(hive, key, name);
  if (!v) return err::kFileNotFound;
  out = *v;
  return 0;
}

int RegWriteValue(RegHive hive, std::string_view key, std::string_view name, const RegValue& value) {
  return Modify([&](RegistryData& reg) {
    return reg.Set(hive, key, name, value) ? 0 : err::kInvalidParameter;
  });
}

int RegCreateKey(RegHive hive, std::string_view key) {
  if (TrimKey(key).empty() || !Storable(key)) return err::kInvalidParameter;
  return Modify([&](RegistryData& reg) {
    reg.CreateKey(hive, key);
    return 0;
  });
}

int RegDeleteValue(RegHive hive, std::string_view key, std::string_view name) {
  return Modify([&](RegistryData& reg) {
    return reg.DeleteValue(hive, key, name) ? 0 : err::kFileNotFound;
  });
}

int RegDeleteKey(RegHive hive, std::string_view key) {
  return Modify([&](RegistryData& reg) {
    return reg.DeleteKey(hive, key) ? 0 : err::kFileNotFound;
  });
}

bool RegKeyExists(RegHive hive, std::string_view key) {
  RegistryLock lock(false);
  RegistryData reg;
  if (Load(reg)) return false;
  return reg.KeyExists(hive, key);
}

int RegModify(const std::function<int(RegistryData&)>& change) {
  return Modify([&](RegistryData& reg) { return change(reg); });
}

}  // namespace tarnwick
