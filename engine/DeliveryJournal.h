// The delivery journal of an account: the file "delivery.jnl" in its work
// folder. It holds the groups of messages that a run named in the queue
// and whose ids may not be on disk yet, so that a crash between naming a message and recording its id
// neither loses nor repeats it.
//
// A group is finished in this order: its entries (temporary file name and
// UIDL line of each message) are written here and flushed; the files are
// named in the queue; the UIDL lines are appended to uidl.txt. Once the
// run's appended lines are flushed (at its end), the journal is cleared.
// The next run reads what is left: an entry whose
// temporary file is gone was named (its line is recorded), one whose file is
// still there was not (the file is deleted and the message fetched again).
//
// Line form: "<temporary file name> <UIDL line>" and CR LF. The name "-"
// stands for a file made without a name (its fate cannot be told; it counts
// as not named). A last line without its line end was never flushed whole
// and is not taken.
#pragma once

#include "platform/Files.h"

#include <string>
#include <vector>

namespace tarnwick {

struct JournalEntry {
  std::string tempName;   // name in the private temporary folder, or "-"
  std::string uidlLine;   // the line uidl.txt records the message under
};

class DeliveryJournal {
 public:
  static constexpr const char* kFileName = "delivery.jnl";
  static constexpr const char* kUnnamed = "-";

  explicit DeliveryJournal(const std::string& workFolder);
  DeliveryJournal(const DeliveryJournal&) = delete;
  DeliveryJournal& operator=(const DeliveryJournal&) = delete;

  // Adds the entries and flushes them to disk. Returns 0 or the error.
  int Write(const std::vector<JournalEntry>& entries);
  // Empties the journal; with flush the emptying is on disk on return.
  int Clear(bool flush);

  const std::string& path() const { return path_; }

  // The complete entries of the journal file at path.
  static std::vector<JournalEntry> Read(const std::string& path);

 private:
  int Open();

  std::string path_;
  FileHandle file_;
};

}  // namespace tarnwick
