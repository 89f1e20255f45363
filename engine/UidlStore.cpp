#include "engine/UidlStore.h"

#include "mailclient/MailClient.h"
#include "platform/AsciiText.h"
#include "platform/DurableFile.h"
#include "platform/Errors.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace tarnwick {

UidlStore::UidlStore(std::string workFolder) : path_(JoinPath(workFolder, "uidl.txt")) {}

std::string UidlStore::Prefix(const CMailClient& session) {
  std::string prefix;
  if (session.ServerCopy) prefix.append(session.ServerCopy->Server).append("#").append(session.ServerCopy->User);
  else prefix.append("#");
  prefix.append("#").append(session.FolderName).append(" ");
  return prefix;
}

std::string UidlStore::Key(const CMailClient& session, std::string_view id) const {
  std::string key = AsciiLowered(Prefix(session));
  key.append(id);
  return key;
}

void UidlStore::Load(CMailClient& session) {
  lines_.clear();
  index_.clear();
  append_.reset();
  appendFailed_ = false;
  unsaved_ = false;
  std::string text;
  if (ReadWholeFile(path_, text) != 0) return;
  session.Transcript.append("Local UIDLS Load\r\n").append(text).append("\r\n");
  std::size_t pos = 0;
  for (;;) {
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) {
      // A last line without its line end was cut short by a crash: it may
      // be the start of a longer id, so it must not match any.
      if (text.find_first_not_of("\t\r\n ", pos) != std::string::npos)
        session.Transcript.append("Local UIDL file: torn last line ignored\r\n");
      break;
    }
    std::string_view piece(text.data() + pos, lf + 1 - pos);
    pos = lf + 1;
    std::size_t end = piece.find_last_not_of("\t\n\r ");
    if (end == std::string_view::npos) continue;
    lines_.emplace_back(piece.substr(0, end + 1));
  }
  // Indexed at once: a Save before Sync (after a journal is finished) must
  // keep every loaded line.
  RebuildIndex();
}

bool UidlStore::Sync(CMailClient& session, bool forgetAll) {
  const std::string prefix = Prefix(session);
  std::unordered_set<std::string_view> ids;
  ids.reserve(session.Messages.size());
  for (const CMailInfo& m : session.Messages) ids.insert(m.UIDL);

  std::vector<std::string> kept;
  kept.reserve(lines_.size());
  for (std::string& line : lines_) {
    if (StartsWithNoCase(line, prefix)) {
      std::size_t space = line.rfind(' ');
      if (space == std::string::npos) continue;
      if (forgetAll || !ids.count(std::string_view(line).substr(space + 1))) continue;
    }
    kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
  RebuildIndex();
  return Save(session);
}

void UidlStore::RebuildIndex() {
  index_.clear();
  index_.reserve(lines_.size());
  for (std::size_t i = 0; i < lines_.size(); ++i) index_.emplace(lines_[i], i);
}

bool UidlStore::Contains(const CMailClient& session, std::string_view id) const {
  return index_.count(Key(session, id)) != 0;
}

void UidlStore::Add(const CMailClient& session, std::string_view id) { AddLine(Key(session, id)); }

void UidlStore::AddLine(std::string key) {
  // A failed append is made good by the next Save.
  if (!append_.valid() || append_.WriteAll(key + "\r\n") != 0) appendFailed_ = true;
  unsaved_ = true;
  index_.emplace(key, lines_.size());
  lines_.push_back(std::move(key));
}

int UidlStore::FlushAppend() {
  if (!unsaved_) return 0;
  if (!append_.valid() || appendFailed_) return err::kInvalidParameter;
  if (int e = SyncData(append_)) return e;
  unsaved_ = false;
  return 0;
}

void UidlStore::Remove(const CMailClient& session, std::string_view id) { index_.erase(Key(session, id)); }

bool UidlStore::Save(CMailClient& session) {
  append_.reset();
  std::string text;
  text.reserve(lines_.size() * 256);
  for (const std::string& line : lines_)
    if (index_.count(line)) text.append(line).append("\r\n");
  session.Transcript.append("DOWNLOAD FINISHED, Local UIDLS UPDATE\r\n").append(text).append("\r\n");
  // Written aside and renamed over the old file, so that a crash never
  // leaves a truncated list (which would fetch everything again).
  if (int e = ReplaceFileAtomic(path_, text)) return session.RaiseError(CreateFailure(path_, e), "UPDATE UIDL FILE");
  unsaved_ = false;
  appendFailed_ = false;
  return true;
}

void UidlStore::OpenAppend() {
  if (append_.valid()) return;
  FileHandle f;
  if (tarnwick::OpenAppend(path_, f) == 0) append_ = std::move(f);
}

}  // namespace tarnwick
