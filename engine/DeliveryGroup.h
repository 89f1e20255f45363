// The group of begun deliveries of one pull run, and the thread that
// finishes it when its time is up while the run waits for the next message,
// so that no message waits in the private folder for a slow download.
#pragma once

#include "engine/Delivery.h"
#include "engine/DeliveryJournal.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
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
  ~DeliveryGroup();
  DeliveryGroup(const DeliveryGroup&) = delete;
  DeliveryGroup& operator=(const DeliveryGroup&) = delete;

  // Adds a begun delivery; uidlLine is what records it (empty: nothing).
  void Add(PendingDelivery delivery, std::string uidlLine, std::size_t tag);
  // Whether the group is full or its first message has waited long enough.
  bool Due();
  // Finishes the group on the calling thread: journal, flush, names.
  void Finish();
  // While a download runs, the group is finished by its own thread once
  // its time is up. Nothing else may touch the context meanwhile.
  void DownloadStarts();
  void DownloadEnds();
  Finished Take();

 private:
  void FinishLocked();
  void Watch();

  DeliveryContext& context_;
  DeliveryJournal* journal_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<PendingDelivery> deliveries_;
  std::vector<std::string> lines_;
  std::vector<std::size_t> tags_;
  std::size_t bytes_ = 0;
  int64_t startMs_ = 0;
  bool downloading_ = false;
  bool stop_ = false;
  Finished finished_;
  std::thread watcher_;
};

}  // namespace tarnwick
