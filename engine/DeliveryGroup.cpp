#include "engine/DeliveryGroup.h"

#include <chrono>
#include <system_error>

namespace tarnwick {

DeliveryGroup::DeliveryGroup(DeliveryContext& context, DeliveryJournal* journal)
    : context_(context), journal_(journal) {}

DeliveryGroup::~DeliveryGroup() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void DeliveryGroup::Add(PendingDelivery delivery, std::string uidlLine, std::size_t tag) {
  std::lock_guard lock(mutex_);
  if (current_.deliveries.empty()) startMs_ = context_.clock->NowMs();
  bytes_ += delivery.size;
  current_.deliveries.push_back(std::move(delivery));
  current_.lines.push_back(std::move(uidlLine));
  current_.tags.push_back(tag);
}

bool DeliveryGroup::Due() {
  std::lock_guard lock(mutex_);
  return !current_.deliveries.empty() &&
         (current_.deliveries.size() >= context_.groupMessages || bytes_ >= context_.groupBytes ||
          context_.clock->NowMs() - startMs_ >= context_.groupWaitMs);
}

void DeliveryGroup::FlushBatch(Batch& batch) {
  // The journal names the group before any of its files is named.
  if (journal_) {
    std::vector<JournalEntry> entries;
    for (std::size_t i = 0; i < batch.deliveries.size(); ++i)
      if (!batch.lines[i].empty())
        entries.push_back({batch.deliveries[i].tempName.empty() ? DeliveryJournal::kUnnamed
                                                                : batch.deliveries[i].tempName,
                           batch.lines[i]});
    if (!entries.empty()) {
      batch.journaled = true;
      batch.failure = journal_->Write(entries);
    }
  }
  // Without its journal entries no file of the group is named.
  if (!batch.failure) batch.synced = FlushGroup(batch.deliveries, batch.failure);
}

void DeliveryGroup::NameBatch(Batch& batch) {
  std::vector<std::string> leftovers;
  int failure = batch.failure;
  const std::size_t done = NameGroup(context_, batch.deliveries, batch.synced, failure, leftovers);
  for (std::size_t i = 0; i < done; ++i) finished_.named.emplace_back(batch.tags[i], std::move(batch.lines[i]));
  finished_.journaled = finished_.journaled || batch.journaled;
  if (failure && !finished_.failure) finished_.failure = failure;
  finished_.leftovers.insert(finished_.leftovers.end(), leftovers.begin(), leftovers.end());
}

void DeliveryGroup::SettleHandedLocked(std::unique_lock<std::mutex>& lock) {
  flushed_.wait(lock, [this] { return !handed_ || handed_->flushed; });
  if (!handed_) return;
  NameBatch(*handed_);
  handed_.reset();
}

bool DeliveryGroup::StartWatcherLocked() {
  if (watcher_.joinable()) return true;
  try {
    watcher_ = std::thread([this] { Watch(); });
  } catch (const std::system_error&) {
    return false;  // no thread to be had: the run finishes its groups itself
  }
  return true;
}

void DeliveryGroup::Hand() {
  {
    std::unique_lock lock(mutex_);
    SettleHandedLocked(lock);
    if (!StartWatcherLocked()) {
      FinishCurrentLocked();
      return;
    }
    if (current_.deliveries.empty()) return;
    handed_.emplace(std::move(current_));
    current_ = Batch{};
    bytes_ = 0;
  }
  wake_.notify_all();
}

void DeliveryGroup::FinishCurrentLocked() {
  if (current_.deliveries.empty()) return;
  FlushBatch(current_);
  NameBatch(current_);
  current_ = Batch{};
  bytes_ = 0;
}

void DeliveryGroup::Finish() {
  std::unique_lock lock(mutex_);
  SettleHandedLocked(lock);
  FinishCurrentLocked();
}

void DeliveryGroup::DownloadStarts() {
  {
    std::lock_guard lock(mutex_);
    downloading_ = true;
    if (current_.deliveries.empty() && !handed_) return;
    StartWatcherLocked();
  }
  wake_.notify_all();
}

void DeliveryGroup::DownloadEnds() {
  std::lock_guard lock(mutex_);  // waits for naming that is under way
  downloading_ = false;
}

DeliveryGroup::Finished DeliveryGroup::Take() {
  std::lock_guard lock(mutex_);
  Finished out = std::move(finished_);
  finished_ = Finished{};
  return out;
}

void DeliveryGroup::Watch() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // A group handed over is flushed at once, without the lock: the run
    // meanwhile begins further deliveries.
    if (handed_ && !handed_->flushed) {
      Batch& batch = *handed_;
      lock.unlock();
      FlushBatch(batch);
      lock.lock();
      batch.flushed = true;
      flushed_.notify_all();
      continue;
    }
    if (stop_) return;
    // Names are given only while the run is in a download and leaves the
    // context alone.
    if (!downloading_) {
      wake_.wait(lock);
      continue;
    }
    if (handed_) {
      NameBatch(*handed_);
      handed_.reset();
      flushed_.notify_all();
      continue;
    }
    if (current_.deliveries.empty()) {
      wake_.wait(lock);
      continue;
    }
    const int64_t left = startMs_ + context_.groupWaitMs - context_.clock->NowMs();
    if (left <= 0) {
      FinishCurrentLocked();
      continue;
    }
    wake_.wait_for(lock, std::chrono::milliseconds(left));
  }
}

}  // namespace tarnwick
