#include "engine/DeliveryGroup.h"

#include <chrono>

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
  if (deliveries_.empty()) startMs_ = context_.clock->NowMs();
  bytes_ += delivery.size;
  deliveries_.push_back(std::move(delivery));
  lines_.push_back(std::move(uidlLine));
  tags_.push_back(tag);
}

bool DeliveryGroup::Due() {
  std::lock_guard lock(mutex_);
  return !deliveries_.empty() &&
         (deliveries_.size() >= context_.groupMessages || bytes_ >= context_.groupBytes ||
          context_.clock->NowMs() - startMs_ >= context_.groupWaitMs);
}

void DeliveryGroup::Finish() {
  std::lock_guard lock(mutex_);
  FinishLocked();
}

void DeliveryGroup::FinishLocked() {
  if (deliveries_.empty()) return;
  int failure = 0;
  std::size_t done = 0;
  std::vector<std::string> leftovers;
  // The journal names the group before any of its files is named.
  if (journal_) {
    std::vector<JournalEntry> entries;
    for (std::size_t i = 0; i < deliveries_.size(); ++i)
      if (!lines_[i].empty())
        entries.push_back({deliveries_[i].tempName.empty() ? DeliveryJournal::kUnnamed : deliveries_[i].tempName,
                           lines_[i]});
    if (!entries.empty()) {
      finished_.journaled = true;
      failure = journal_->Write(entries);
    }
  }
  if (failure) {
    for (PendingDelivery& p : deliveries_) {
      p.file.reset();
      p.slot.Reset();
      if (!p.tempPath.empty()) leftovers.push_back(p.tempPath);
      context_.reservedNames.erase(p.name);
    }
    deliveries_.clear();
  } else {
    done = FinishGroup(context_, deliveries_, failure, leftovers);
  }
  for (std::size_t i = 0; i < done; ++i) finished_.named.emplace_back(tags_[i], std::move(lines_[i]));
  if (failure && !finished_.failure) finished_.failure = failure;
  finished_.leftovers.insert(finished_.leftovers.end(), leftovers.begin(), leftovers.end());
  lines_.clear();
  tags_.clear();
  bytes_ = 0;
}

void DeliveryGroup::DownloadStarts() {
  {
    std::lock_guard lock(mutex_);
    downloading_ = true;
    if (deliveries_.empty()) return;
    if (!watcher_.joinable()) watcher_ = std::thread([this] { Watch(); });
  }
  wake_.notify_all();
}

void DeliveryGroup::DownloadEnds() {
  std::lock_guard lock(mutex_);  // waits for a finish that is under way
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
  while (!stop_) {
    if (!downloading_ || deliveries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const int64_t left = startMs_ + context_.groupWaitMs - context_.clock->NowMs();
    if (left <= 0) {
      FinishLocked();
      continue;
    }
    wake_.wait_for(lock, std::chrono::milliseconds(left));
  }
}

}  // namespace tarnwick
