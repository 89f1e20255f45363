// The engine's configuration tree, loaded once from conf/config.txt and
// guarded for many readers and one writer. Readers take snapshots (deep
// copies) so that no lock is held while a copy is used.
#pragma once

#include "config/ConfigBlock.h"
#include "config/Swmrg.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr std::string_view kDefaultConfigText =
    "BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:20\r\nLogLevel:1\r\nEND:mailpull\r\nEND:config\r\n";

class ConfigStore : public CSWMRG {
 public:
  // Loads the file at filePath, falling back to the default text.
  explicit ConfigStore(std::string filePath);

  // Deep copy of the block at path.
  std::optional<ConfigBlock> Snapshot(std::string_view path);
  // Decimal value of key at path (with or without inherit); 0 when missing.
  int32_t GetInteger(std::string_view path, std::string_view key, bool inherit);
  // Sets the "Update" entry of the block at path to "0" (memory only).
  void ClearUpdate(std::string_view path);
  // Deep copy of the block at path, taken in the same hold of the write lock
  // that sets its "Update" entry to "0" on the store (memory only); the copy
  // keeps the value it had. A replacement landing after the copy therefore
  // keeps its own "Update" and is not lost.
  std::optional<ConfigBlock> TakeUpdate(std::string_view path);
  // Puts block in place of the block at path and saves the file. An unknown
  // path, or a block that would nest the tree deeper than kMaxConfigDepth,
  // changes nothing and returns false. A failed save keeps the new block in
  // memory, leaves the old file as it was and sets LastError.
  bool Replace(std::string_view path, ConfigBlock block);

  const std::string& FilePath() const { return path_; }
  // OS error of the last failed open or save, 0 after a good one.
  int LastError() const { return lastError_; }

 private:
  void Load();
  bool Save();  // caller holds the write lock

  std::string path_;
  std::optional<ConfigBlock> root_;
  std::atomic<int> lastError_{0};
};

}  // namespace tarnwick
