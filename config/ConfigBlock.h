// The configuration text: a tree of named blocks holding "key:value" lines.
//
//   BEGIN:config
//   BEGIN:mailpull
//   MaxThread:20
//   END:mailpull
//   END:config
//
// Names and keys compare without regard to ASCII letter case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct ConfigEntry {
  std::string key;
  std::string value;
};

struct ConfigBlock {
  std::string name;
  std::vector<ConfigEntry> entries;   // file order, duplicates kept
  std::vector<ConfigBlock> children;  // file order

  // First entry of this block whose key matches (no inherit).
  ConfigEntry* Entry(std::string_view key);
  const ConfigEntry* Entry(std::string_view key) const;
  // Sets the first matching entry's value, or appends a new entry.
  void Set(std::string_view key, std::string_view value);
  // First child block whose name matches.
  ConfigBlock* Child(std::string_view name);
  const ConfigBlock* Child(std::string_view name) const;
};

// Reads a value as a decimal integer: leading blanks, optional sign, digits up
// to the first non-digit; no digits gives 0.
int32_t ConfigInt(std::string_view value);

// Parses one block from text. On success *end (when given) receives the
// position after the block's END line (text.size() when none follows).
// Malformed text, or nesting deeper than kMaxConfigDepth, gives nullopt.
inline constexpr std::size_t kMaxConfigDepth = 256;
std::optional<ConfigBlock> ParseConfig(std::string_view text, std::size_t* end = nullptr);

// "BEGIN:name\r\n", entries, children, "END:name\r\n"; entries always first.
// The text always reads back with the same blocks: an entry that would read back
// as a marker line of its own block ("BEGIN:...", "END:<own name>") is left
// out, and a line break inside a key or value is followed by a TAB when no
// blank follows it.
std::string SerializeConfig(const ConfigBlock& block);

// The block at a "/"-separated path starting with the root's own name
// ("config/mailpull/acct"); a trailing "/" is ignored. nullptr when absent.
ConfigBlock* FindBlock(ConfigBlock& root, std::string_view path);
const ConfigBlock* FindBlock(const ConfigBlock& root, std::string_view path);

// The entry found for key at path; with inherit the ancestors are searched,
// nearest first, when the block at path lacks it.
struct FoundEntry {
  const ConfigEntry* entry = nullptr;
  const ConfigBlock* block = nullptr;
};
std::optional<FoundEntry> FindEntry(const ConfigBlock& root, std::string_view path,
                                    std::string_view key, bool inherit);

// The blocks from root down to the block at path (empty when absent).
std::vector<ConfigBlock*> FindBlockChain(ConfigBlock& root, std::string_view path);

// Number of block levels in the subtree (a block without children is 1).
std::size_t ConfigDepth(const ConfigBlock& block);

// Compares two block names or keys without regard to ASCII letter case.
bool ConfigNameEquals(std::string_view a, std::string_view b);

}  // namespace tarnwick
