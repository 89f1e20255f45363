#include "engine/DeliveryJournal.h"

#include "platform/DurableFile.h"

namespace tarnwick {

DeliveryJournal::DeliveryJournal(const std::string& workFolder)
    : path_(JoinPath(workFolder, kFileName)) {}

int DeliveryJournal::Open() {
  if (file_.valid()) return 0;
  return OpenAppend(path_, file_);
}

int DeliveryJournal::Write(const std::vector<JournalEntry>& entries) {
  if (int e = Open()) return e;
  std::string text;
  for (const JournalEntry& entry : entries)
    text.append(entry.tempName).append(" ").append(entry.uidlLine).append("\r\n");
  if (int e = file_.WriteAll(text)) return e;
  return SyncData(file_);
}

int DeliveryJournal::Clear(bool flush) {
  if (!file_.valid()) {
    if (!FileExists(path_)) return 0;
    if (int e = Open()) return e;
  }
  if (int e = Truncate(file_)) return e;
  return flush ? SyncData(file_) : 0;
}

std::vector<JournalEntry> DeliveryJournal::Read(const std::string& path) {
  std::vector<JournalEntry> entries;
  std::string text;
  if (ReadWholeFile(path, text) != 0) return entries;
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;  // torn: never flushed whole
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 2;
    std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == line.size()) continue;
    entries.push_back({std::string(line.substr(0, space)), std::string(line.substr(space + 1))});
  }
  return entries;
}

}  // namespace tarnwick
