// Hands a fetched message to the local mail server: a new ".eml" file in its
// queue folder, led by the envelope lines "x-sender" and "x-rcpt-to", a
// Received trace header and two origin headers, named so that the queue
// sorts by the message's date.
#pragma once

#include "platform/Clock.h"
#include "platform/Files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tarnwick {

class CMailClient;

// What delivery needs of the pull job that runs it.
struct DeliveryContext {
  std::string serverName;        // the account's "Server", for the Received header
  std::string defaultRecipient;  // LocalUser "@" LocalDomain
  int32_t distribute = 0;        // 1: deliver to the message's own local recipients
  std::string queueFolder;
  // Where messages are written before they are named in the queue: the
  // private folder beside the queue (PrivateFolderFor), taken when it lies
  // on the queue's file system. Otherwise files are made without a name in
  // the queue folder itself and linked in (unnamedFiles). Settled by the
  // first delivery (PrepareTemporaryFolder).
  std::string tempFolder;
  bool unnamedFiles = false;
  bool tempFolderReady = false;
  std::string dataFolder;        // empty: the mail server's, looked up on first use
  std::string localAddress;      // numeric address of this end of the connection
  std::string remoteAddress;     // numeric address of the mail server
  std::string localHostName;     // LocalHostNameEncoded, taken on first use
  // The ".eml" names of begun deliveries that are not finished yet.
  std::unordered_set<std::string> reservedNames;
  int32_t queueCounter = 0;      // 0 to 98, part of the file names
  Clock* clock = &SystemClock();
  // A pull run finishes its deliveries in groups (BeginDelivery, then
  // FinishDeliveries): a group is finished once it holds this many
  // messages or bytes, once its first message has waited this long, before
  // the run stops on a failure and at the end of the list.
  std::size_t groupMessages = 32;
  std::size_t groupBytes = 8u << 20;
  int64_t groupWaitMs = 500;
};

// Writes the message into the queue folder. The file appears under its
// final name only once it is completely on disk. On failure the session's
// error holds the reason ("CreateFile to Queue").
bool Deliver(CMailClient& session, DeliveryContext& context, std::string_view message);

// Deliver in two halves, so that a run can finish several messages
// together and share the waits for the disk among them.

// A place among the queue files that begun deliveries of this process hold
// open at once. There are kMaxHeldQueueFiles of them, so that many workers
// with full groups never use up the process's descriptors; a delivery that
// finds none free flushes and closes its file at once instead.
class QueueFileSlot {
 public:
  static constexpr int kMaxHeldQueueFiles = 256;

  QueueFileSlot() = default;
  QueueFileSlot(QueueFileSlot&& o) noexcept : taken_(o.taken_) { o.taken_ = false; }
  QueueFileSlot& operator=(QueueFileSlot&& o) noexcept;
  QueueFileSlot(const QueueFileSlot&) = delete;
  QueueFileSlot& operator=(const QueueFileSlot&) = delete;
  ~QueueFileSlot() { Reset(); }

  // A free place, or an empty slot when all are taken.
  static QueueFileSlot Take();
  // How many places are taken now.
  static int Taken();
  explicit operator bool() const { return taken_; }
  void Reset();

 private:
  bool taken_ = false;
};

// A message written under a temporary name in the private folder (or
// without a name), where the mail server does not see it; not yet named.
struct PendingDelivery {
  std::string tempName;  // name in the private folder; empty when made without a name
  std::string tempPath;  // its path; empty when made without a name
  std::string name;      // the ".eml" name chosen when it was written
  std::string dateText;  // the date names are made from
  FileHandle file;       // open until flushed (until named, when made without a name)
  QueueFileSlot slot;    // held while file is open
  bool flushed = false;  // already on disk (no slot was free)
  std::size_t size = 0;  // bytes written
};

// The first half: envelope, trace headers and the message written under a
// temporary name, the processing note added to the transcript. On failure
// nothing is left in the queue folder and the session's error holds the
// reason ("CreateFile to Queue"), as with Deliver.
bool BeginDelivery(CMailClient& session, DeliveryContext& context, std::string_view message,
                   PendingDelivery& out);

// The second half for a group of begun deliveries, in their order: flushes
// each file to disk and gives it its ".eml" name, then flushes the queue
// folder once. Returns how many of the group, counted from its front, are
// now on disk under their names. A failure stops there: the session's error
// holds the reason ("CreateFile to Queue") and the temporary files of that
// delivery and of all after it are removed. The group is emptied.
std::size_t FinishDeliveries(CMailClient& session, DeliveryContext& context, std::vector<PendingDelivery>& group);

// FinishDeliveries without the session, for a caller that must keep the
// temporary files of a failed finish until its own records are safe: the
// first failure goes into failure, and the paths of the temporary files
// left unnamed into leftovers (closed, not removed). Any thread may run it
// while no other touches context.
std::size_t FinishGroup(DeliveryContext& context, std::vector<PendingDelivery>& group, int& failure,
                        std::vector<std::string>& leftovers);

// FinishGroup in its two halves. FlushGroup puts the files on disk, in
// order, up to the first failure (in failure); it touches no context, so
// it may run on another thread while the run begins further deliveries.
// Returns how many files are flushed. NameGroup then names those, given
// FlushGroup's failure, with FinishGroup's results.
std::size_t FlushGroup(std::vector<PendingDelivery>& group, int& failure);
std::size_t NameGroup(DeliveryContext& context, std::vector<PendingDelivery>& group, std::size_t synced,
                      int& failure, std::vector<std::string>& leftovers);

// The private folder for temporary files of a queue folder: "tarnwick-tmp"
// beside it (in the same parent folder).
std::string PrivateFolderFor(const std::string& queueFolder);

// Settles where context's deliveries write their temporary files (see
// DeliveryContext::tempFolder). Returns 0, or err::kPathNotFound when the
// queue folder does not exist (checked again on the next call).
int PrepareTemporaryFolder(DeliveryContext& context);

// Whether name has the form of our temporary files in the private folder.
bool IsTemporaryFileName(std::string_view name);

// Removes what crashed runs left behind: the temporary files of the queue's
// private folder that keep is false for (the files that no delivery journal
// names) and the ".tarnwick-*.tmp" files that older versions wrote into the
// queue folder itself. Nothing else is touched. Returns how many went.
std::size_t SweepTemporaryFiles(const std::string& queueFolder,
                                const std::function<bool(const std::string&)>& keep);

// Whether address names a mailbox of the local mail server: its user folder
// exists, or its domain takes mail for every name.
bool IsLocalRecipient(std::string_view address, DeliveryContext& context);

// The local addresses among a "To" and "Cc" list, folded with ",\r\n\t".
std::string FilterLocalRecipients(std::string_view recipients, DeliveryContext& context);

// The queue file name (without ".eml") for a message date text and the
// current time: "0", the fourteen digits of the date as written, then the
// millisecond and the counter; or, for a date that does not parse, "0" and
// twenty digits of the local clock and the counter.
std::string QueueFileName(std::string_view dateText, DeliveryContext& context);

}  // namespace tarnwick
