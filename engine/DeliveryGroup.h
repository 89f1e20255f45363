// The group of begun deliveries of one pull run, and the thread that works
// beside the run: it flushes a full group while the run goes on fetching
// and writing the next one, and it finishes a group whose time is up while
// the run waits for the next message, so that no message waits in the
// private folder for a slow download.
#pragma once

#include "engine/Delivery.h"
#include "engine/DeliveryJournal.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {

class DeliveryGroup {
 public:
  // What finished since the last Take.
  struct Finished {
    // Per named message: the caller's tag and its UIDL line (empty: none).
    std::vector<std::pair<std::size_t, std::string>> named;
    int failure = 0;  // the first failure; nothing after it was named
    // Temporary files of failed deliveries, kept until the journal that may
    // name them is cleared: gone, they would count as named.
    std::vector<std::string> leftovers;
    bool journaled = false;  // the journal holds entries of these
  };

  // journal may be null: then groups are named without one.
  DeliveryGroup(DeliveryContext& context, DeliveryJournal* journal);
  // Waits for a flush under way; a group handed over and not named is left
  // to the journal (its files stay in the private folder).
  ~DeliveryGroup();
  DeliveryGroup(const DeliveryGroup&) = delete;
  DeliveryGroup& operator=(const DeliveryGroup&) = delete;

  // Adds a begun delivery; uidlLine is what records it (empty: nothing).
  void Add(PendingDelivery delivery, std::string uidlLine, std::size_t tag);
  // Whether the group is full or its first message has waited long enough.
  bool Due();
  // Hands the group over to be flushed beside the run and starts a new
  // one. The group handed over before is named first (waiting for its
  // flush), so at most one group is on its way.
  void Hand();
  // Finishes everything on the calling thread: the group handed over, then
  // the current one (journal, flush, names).
  void Finish();
  // While a download runs, the thread beside the run names a flushed group
  // and finishes the current one once its time is up. Nothing else may
  // touch the context meanwhile.
  void DownloadStarts();
  void DownloadEnds();
  Finished Take();

 private:
  struct Batch {
    std::vector<PendingDelivery> deliveries;
    std::vector<std::string> lines;
    std::vector<std::size_t> tags;
    // Set by the flush (flushed under the lock, once the rest is set).
    bool flushed = false;
    bool journaled = false;
    int failure = 0;
    std::size_t synced = 0;
  };

  // Journal entries and file flushes of a batch; touches no context.
  void FlushBatch(Batch& batch);
  // Names a flushed batch and records the outcome in finished_.
  void NameBatch(Batch& batch);
  // Flushes and names the current batch on the calling thread.
  void FinishCurrentLocked();
  // Names the batch handed over, waiting for its flush first.
  void SettleHandedLocked(std::unique_lock<std::mutex>& lock);
  // False when no thread can be started.
  bool StartWatcherLocked();
  void Watch();

  DeliveryContext& context_;
  DeliveryJournal* journal_;
  std::mutex mutex_;
  std::condition_variable wake_;     // the thread beside the run
  std::condition_variable flushed_;  // the run, waiting for a flush
  Batch current_;
  std::size_t bytes_ = 0;
  int64_t startMs_ = 0;
  std::optional<Batch> handed_;  // flushed (or being flushed) beside the run
  bool downloading_ = false;
  bool stop_ = false;
  Finished finished_;
  std::thread watcher_;
};

}  // namespace tarnwick
