// Which messages of an account have been fetched: the file "uidl.txt" in the
// account's work folder, one line per message naming the server, the user,
// the remote folder and the message's unique id. Lines of other servers,
// users or folders are carried along untouched.
//
// Line form (the key): "server#user#folder id", the part before the id
// lower-cased, the id as the server gave it; each line ends with CR LF.
#pragma once

#include "platform/Files.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnwick {

class CMailClient;

class UidlStore {
 public:
  explicit UidlStore(std::string workFolder);
  UidlStore(const UidlStore&) = delete;
  UidlStore& operator=(const UidlStore&) = delete;

  // Every operation takes the session for its server, user and folder name
  // and for its transcript and error.

  // Reads the file into lines; an unreadable file leaves the store empty.
  // A last line without its line end is a torn write: it is not taken (the
  // next save drops it) and the transcript says so.
  void Load(CMailClient& session);
  // Keeps the lines of other accounts and the lines of this account whose
  // id is still in session.Messages (none with forgetAll), then saves.
  // Returns what Save returns.
  bool Sync(CMailClient& session, bool forgetAll = false);
  bool Contains(const CMailClient& session, std::string_view id) const;
  bool ContainsLine(const std::string& line) const { return index_.count(line) != 0; }
  // Records a fetched message (and appends its line when the append file is open).
  void Add(const CMailClient& session, std::string_view id);
  // The same with the whole line (Key).
  void AddLine(std::string line);
  // Puts the lines added since the last Save or flush on disk by flushing
  // the append file. Returns 0, or an error when that cannot be done (an
  // append failed, or lines were added without the file open): then only
  // a Save puts them on disk.
  int FlushAppend();
  // Forgets a message deleted on the server; its line goes with the next Save.
  void Remove(const CMailClient& session, std::string_view id);
  // Rewrites the file from the recorded lines. On failure the session's
  // error says "UPDATE UIDL FILE".
  bool Save(CMailClient& session);
  void OpenAppend();
  void CloseAppend() { append_.reset(); }

  const std::string& path() const { return path_; }
  const std::vector<std::string>& lines() const { return lines_; }

  // The key prefix "server#user#folder " of the session (not lower-cased).
  static std::string Prefix(const CMailClient& session);
  // The line that records id for the session.
  std::string Key(const CMailClient& session, std::string_view id) const;

 private:
  // The string hash of the store: from 0, times 33 plus each byte.
  struct Hash {
    std::size_t operator()(std::string_view s) const noexcept {
      std::size_t h = 0;
      for (unsigned char c : s) h = h * 33 + c;
      return h;
    }
  };
  void RebuildIndex();

  std::string path_;
  std::vector<std::string> lines_;
  std::unordered_map<std::string, std::size_t, Hash> index_;
  FileHandle append_;
  bool appendFailed_ = false;
  bool unsaved_ = false;  // lines added that may not be on disk
};

}  // namespace tarnwick
