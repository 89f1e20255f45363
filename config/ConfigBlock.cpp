#include "config/ConfigBlock.h"

#include "platform/AsciiText.h"

#include <climits>

namespace tarnwick {

namespace {

constexpr std::string_view kLineBlanks = " \t\r\n";

std::string_view TrimLine(std::string_view s) {
  std::size_t b = s.find_first_not_of(kLineBlanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(kLineBlanks);
  return s.substr(b, e - b + 1);
}

// A key or value line break must be followed by a blank to read back as a
// continuation line; values read from a file always are, values set by code
// may not be.
void AppendContinued(std::string& out, std::string_view text) {
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    bool blankFollows = i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t');
    if (blankFollows || i + 1 == text.size()) continue;
    out.append(text.substr(from, i + 1 - from));
    out.push_back('\t');
    from = i + 1;
  }
  out.append(text.substr(from));
}

// An entry that would read back as a marker line of its own block: "BEGIN:..."
// opens a child, "END:<own name>" closes the block. Such entries only arise
// from indented marker lines, carry no setting, and would make the written
// file unreadable, so the writer leaves them out.
bool ReadsBackAsMarker(const ConfigBlock& block, const ConfigEntry& e) {
  if (EqualsNoCase(e.key, "BEGIN")) return true;
  if (!EqualsNoCase(e.key, "END")) return false;
  std::string_view value = e.value;
  std::string_view firstLine = value.substr(0, value.find('\n'));
  return EqualsNoCase(TrimLine(firstLine), block.name);
}

void AppendHead(std::string& out, const ConfigBlock& b) {
  out.append("BEGIN:").append(b.name).append("\r\n");
  for (const ConfigEntry& e : b.entries) {
    if (ReadsBackAsMarker(b, e)) continue;
    AppendContinued(out, e.key);
    out.push_back(':');
    AppendContinued(out, e.value);
    out.append("\r\n");
  }
}

// Walks the path from block downwards; chain receives the blocks from block
// to the match. Among children of the same name the first in file order
// whose subtree matches wins.
template <typename Block>
bool FindChain(Block& block, std::string_view path, std::vector<Block*>& chain) {
  std::size_t slash = path.find('/');
  std::string_view first = path.substr(0, slash);
  if (!EqualsNoCase(first, block.name)) return false;
  chain.push_back(&block);
  if (slash == std::string_view::npos || slash + 1 == path.size()) return true;
  std::string_view rest = path.substr(slash + 1);
  for (auto& child : block.children)
    if (FindChain(child, rest, chain)) return true;
  chain.pop_back();
  return false;
}

}  // namespace

ConfigEntry* ConfigBlock::Entry(std::string_view key) {
  for (ConfigEntry& e : entries)
    if (EqualsNoCase(e.key, key)) return &e;
  return nullptr;
}

const ConfigEntry* ConfigBlock::Entry(std::string_view key) const {
  for (const ConfigEntry& e : entries)
    if (EqualsNoCase(e.key, key)) return &e;
  return nullptr;
}

void ConfigBlock::Set(std::string_view key, std::string_view value) {
  if (ConfigEntry* e = Entry(key)) {
    e->value.assign(value);
    return;
  }
  entries.push_back(ConfigEntry{std::string(key), std::string(value)});
}

ConfigBlock* ConfigBlock::Child(std::string_view name) {
  for (ConfigBlock& c : children)
    if (EqualsNoCase(c.name, name)) return &c;
  return nullptr;
}

const ConfigBlock* ConfigBlock::Child(std::string_view name) const {
  for (const ConfigBlock& c : children)
    if (EqualsNoCase(c.name, name)) return &c;
  return nullptr;
}

int32_t ConfigInt(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  // Accumulate as a negative number so that INT_MIN fits; out-of-range
  // values stick at the nearest limit.
  int64_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 - (value[i] - '0');
    if (n < -int64_t{INT_MAX} - 1) return negative ? INT_MIN : INT_MAX;
  }
  if (negative) return static_cast<int32_t>(n);
  return n < -int64_t{INT_MAX} ? INT_MAX : static_cast<int32_t>(-n);
}

// The parser walks the text line by line ("line" = up to and including the
// next LF) and keeps the open blocks on an explicit stack, so deep nesting
// costs heap, not call stack, and is bounded by kMaxConfigDepth. Every byte
// is looked at a bounded number of times.
std::optional<ConfigBlock> ParseConfig(std::string_view text, std::size_t* end) {
  std::vector<ConfigBlock> open;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    bool hasLf = lf != std::string_view::npos;
    std::size_t next = hasLf ? lf + 1 : text.size();
    std::string_view line = text.substr(pos, next - pos);

    if (StartsWithNoCase(line, "BEGIN:")) {
      if (!hasLf || open.size() >= kMaxConfigDepth) return std::nullopt;
      open.emplace_back();
      open.back().name.assign(TrimLine(line.substr(6)));
      pos = next;
      continue;
    }
    if (open.empty()) {  // text before the first BEGIN line
      pos = next;
      continue;
    }
    if (StartsWithNoCase(line, "END:") && EqualsNoCase(TrimLine(line.substr(4)), open.back().name)) {
      ConfigBlock done = std::move(open.back());
      open.pop_back();
      if (open.empty()) {
        if (end) *end = next;
        return done;
      }
      if (!hasLf) return std::nullopt;
      open.back().children.push_back(std::move(done));
      pos = next;
      continue;
    }

    // A key line, continued over every following line that begins with a
    // space or TAB.
    std::size_t stop = next;
    while (stop < text.size() && (text[stop] == ' ' || text[stop] == '\t')) {
      std::size_t l2 = text.find('\n', stop);
      stop = l2 == std::string_view::npos ? text.size() : l2 + 1;
    }
    std::string_view logical = TrimLine(text.substr(pos, stop - pos));
    std::size_t colon = logical.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = logical.substr(colon + 1);
      std::size_t v = value.find_first_not_of(" \t");
      value = v == std::string_view::npos ? std::string_view{} : value.substr(v);
      open.back().entries.push_back(
          ConfigEntry{std::string(logical.substr(0, colon)), std::string(value)});
    }
    pos = stop;
  }
  return std::nullopt;  // the text ended inside a block, or held no block
}

std::string SerializeConfig(const ConfigBlock& block) {
  std::string out;
  out.reserve(4096);
  // Explicit stack: (block, index of the next child to write).
  std::vector<std::pair<const ConfigBlock*, std::size_t>> stack;
  AppendHead(out, block);
  stack.emplace_back(&block, 0);
  while (!stack.empty()) {
    auto& [b, next] = stack.back();
    if (next < b->children.size()) {
      const ConfigBlock& child = b->children[next++];
      AppendHead(out, child);
      stack.emplace_back(&child, 0);
      continue;
    }
    out.append("END:").append(b->name).append("\r\n");
    stack.pop_back();
  }
  return out;
}

ConfigBlock* FindBlock(ConfigBlock& root, std::string_view path) {
  std::vector<ConfigBlock*> chain;
  return FindChain(root, path, chain) ? chain.back() : nullptr;
}

const ConfigBlock* FindBlock(const ConfigBlock& root, std::string_view path) {
  std::vector<const ConfigBlock*> chain;
  return FindChain(root, path, chain) ? chain.back() : nullptr;
}

std::vector<ConfigBlock*> FindBlockChain(ConfigBlock& root, std::string_view path) {
  std::vector<ConfigBlock*> chain;
  if (!FindChain(root, path, chain)) chain.clear();
  return chain;
}

std::optional<FoundEntry> FindEntry(const ConfigBlock& root, std::string_view path,
                                    std::string_view key, bool inherit) {
  std::vector<const ConfigBlock*> chain;
  if (!FindChain(root, path, chain)) return std::nullopt;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (const ConfigEntry* e = (*it)->Entry(key)) return FoundEntry{e, *it};
    if (!inherit) break;
  }
  return std::nullopt;
}

std::size_t ConfigDepth(const ConfigBlock& block) {
  std::size_t deepest = 0;
  std::vector<std::pair<const ConfigBlock*, std::size_t>> stack{{&block, 1}};
  while (!stack.empty()) {
    auto [b, depth] = stack.back();
    stack.pop_back();
    if (depth > deepest) deepest = depth;
    for (const ConfigBlock& c : b->children) stack.emplace_back(&c, depth + 1);
  }
  return deepest;
}

bool ConfigNameEquals(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

}  // namespace tarnwick
