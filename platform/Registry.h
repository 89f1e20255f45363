// The registry: machine-wide settings kept as hives of keys holding named and
// default values. It lives in one UTF-8 text file, etc/tarnwick/registry under
// the system root, in the shape of a registry export:
//
//   [HKEY_LOCAL_MACHINE\Software\Varnholt]
//   @="/srv/varnholt"
//   "Count"=dword:0000002a
//   "Home"=expand:"%HOME%/mail"
//
// Key paths and value names compare without regard to ASCII letter case.
// Blank lines, ";" comments and lines that do not parse are ignored; a missing
// file is an empty registry. Every change rewrites the file atomically.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class RegHive { LocalMachine, ClassesRoot, CurrentUser };
enum class RegType { String, ExpandString, Dword };

struct RegValue {
  RegType type = RegType::String;
  std::string text;    // String and ExpandString (never expanded)
  uint32_t number = 0; // Dword

  static RegValue Str(std::string s) { return {RegType::String, std::move(s), 0}; }
  static RegValue Expand(std::string s) { return {RegType::ExpandString, std::move(s), 0}; }
  static RegValue Dword(uint32_t n) { return {RegType::Dword, {}, n}; }
  bool operator==(const RegValue&) const = default;
};

// The whole registry in memory: parse, look up, change, serialise. Holds no
// file and takes no lock; the functions further down work on the file.
class RegistryData {
 public:
  // Parses the file text; never fails (what does not parse is skipped).
  static RegistryData Parse(std::string_view text);
  std::string Serialize() const;

  bool KeyExists(RegHive hive, std::string_view key) const;
  // name "" is the key's default value.
  const RegValue* Find(RegHive hive, std::string_view key, std::string_view name) const;
  // Creates the key when missing. A string holding CR, LF or NUL cannot be
  // stored in the file and is refused (false).
  bool Set(RegHive hive, std::string_view key, std::string_view name, RegValue value);
  void CreateKey(RegHive hive, std::string_view key);
  // True when something was removed.
  bool DeleteValue(RegHive hive, std::string_view key, std::string_view name);
  // Removes the key, its values and every key below it.
  bool DeleteKey(RegHive hive, std::string_view key);

 private:
  struct Value {
    std::string name;
    RegValue value;
  };
  struct Key {
    RegHive hive;
    std::string path;  // without the hive, no leading or trailing backslash
    std::vector<Value> values;
  };
  Key* FindKey(RegHive hive, std::string_view key);
  const Key* FindKey(RegHive hive, std::string_view key) const;
  Key& MakeKey(RegHive hive, std::string_view key);

  std::vector<Key> keys_;  // file order
};

// <system root>/etc/tarnwick/registry
std::string RegistryFilePath();

// The operations on the registry file. Each returns 0 or the system's error
// number: 2 when the key or value does not exist, 87 for a value that cannot
// be stored, the file error when the file cannot be read or written.
int RegReadValue(RegHive hive, std::string_view key, std::string_view name, RegValue& out);
int RegWriteValue(RegHive hive, std::string_view key, std::string_view name, const RegValue& value);
int RegCreateKey(RegHive hive, std::string_view key);
int RegDeleteValue(RegHive hive, std::string_view key, std::string_view name);
int RegDeleteKey(RegHive hive, std::string_view key);
bool RegKeyExists(RegHive hive, std::string_view key);
// Applies several changes at once: change edits the whole registry in
// memory, under the file's lock, and the file is rewritten once when it
// returns 0 (a non-zero return leaves the file as it was and is passed on).
int RegModify(const std::function<int(RegistryData&)>& change);

}  // namespace tarnwick
