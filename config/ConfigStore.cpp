#include "config/ConfigStore.h"

#include "platform/Files.h"

namespace tarnwick {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view TrimFileText(std::string_view text) {
  constexpr std::string_view kBlanks = " \r\n\t";
  std::size_t b = text.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  text = text.substr(b, text.find_last_not_of(kBlanks) - b + 1);
  if (text.size() > 3 && text.substr(0, 3) == kUtf8Bom) {
    text.remove_prefix(3);
    b = text.find_first_not_of(kBlanks);
    text = b == std::string_view::npos ? std::string_view{} : text.substr(b);
  }
  return text;
}

}  // namespace

ConfigStore::ConfigStore(std::string filePath) : path_(std::move(filePath)) { Load(); }

void ConfigStore::Load() {
  std::string text;
  int e = ReadWholeFile(path_, text);
  lastError_ = e;
  if (e == 0) root_ = ParseConfig(TrimFileText(text));
  // A missing, unreadable or malformed file leaves the default in memory; the
  // file itself is not touched until the next Replace.
  if (!root_) root_ = ParseConfig(kDefaultConfigText);
}

std::optional<ConfigBlock> ConfigStore::Snapshot(std::string_view path) {
  std::string text;
  {
    CSafeLocker lock(*this, CSafeLocker::kRead);
    if (!root_) return std::nullopt;
    const ConfigBlock* b = FindBlock(static_cast<const ConfigBlock&>(*root_), path);
    if (!b) return std::nullopt;
    text = SerializeConfig(*b);
  }
  return ParseConfig(text);
}

int32_t ConfigStore::GetInteger(std::string_view path, std::string_view key, bool inherit) {
  CSafeLocker lock(*this, CSafeLocker::kRead);
  if (!root_) return 0;
  auto found = FindEntry(*root_, path, key, inherit);
  return found ? ConfigInt(found->entry->value) : 0;
}

void ConfigStore::ClearUpdate(std::string_view path) {
  CSafeLocker lock(*this, CSafeLocker::kWrite);
  if (!root_) return;
  if (ConfigBlock* b = FindBlock(*root_, path))
    if (ConfigEntry* e = b->Entry("Update")) e->value.assign(1, '0');
}

std::optional<ConfigBlock> ConfigStore::TakeUpdate(std::string_view path) {
  std::string text;
  {
    CSafeLocker lock(*this, CSafeLocker::kWrite);
    if (!root_) return std::nullopt;
    ConfigBlock* b = FindBlock(*root_, path);
    if (!b) return std::nullopt;
    text = SerializeConfig(*b);
    if (ConfigEntry* e = b->Entry("Update")) e->value.assign(1, '0');
  }
  return ParseConfig(text);
}

bool ConfigStore::Replace(std::string_view path, ConfigBlock block) {
  CSafeLocker lock(*this, CSafeLocker::kWrite);
  if (!root_) return false;
  std::vector<ConfigBlock*> chain = FindBlockChain(*root_, path);
  if (chain.empty()) return false;
  // A tree deeper than the parser accepts would be written to a file that
  // could never be read back; such a block is refused like an unknown path.
  if (chain.size() - 1 + ConfigDepth(block) > kMaxConfigDepth) return false;
  *chain.back() = std::move(block);
  Save();
  return true;
}

bool ConfigStore::Save() {
  std::string data(kUtf8Bom);
  data += SerializeConfig(*root_);
  // Written beside the file, flushed, then renamed over it: a failed write
  // leaves the previous file whole.
  lastError_ = ReplaceFileAtomic(path_, data);
  return lastError_ == 0;
}

}  // namespace tarnwick
