// One pull of one account: connect, reconcile the UIDL file with the
// server's list, fetch and deliver every message not fetched before, record
// each, delete on the server unless copies are left, and quit.
#pragma once

#include "engine/AccountJob.h"
#include "engine/Delivery.h"
#include "mailclient/MailClient.h"
#include "platform/Clock.h"

#include <cstdint>
#include <string>

namespace tarnwick {

// Where a pull puts its mail and how patient its sessions are. Empty
// folders mean the local mail server's own.
struct PullOptions {
  std::string queueFolder;
  std::string dataFolder;
  int32_t timeoutSeconds = 600;   // every connect and wait for data
  int32_t stallWaitMs = 10100;    // silence accepted before a missing terminator
  Clock* clock = &SystemClock();
  // Delivery groups (DeliveryContext): messages flushed and named together.
  std::size_t groupMessages = 32;
  std::size_t groupBytes = 8u << 20;
  int64_t groupWaitMs = 500;
};

// The engine's account job: builds a session from the account's settings
// and runs PullRun on it. Safe to run on several workers at once.
class PullJob final : public AccountJob {
 public:
  explicit PullJob(PullOptions options = {});
  AccountRunResult Run(const AccountSession& account, const ProgressFn& progress) override;

 private:
  PullOptions options_;
};

// The pull run over a prepared session (label, progress, folder name and log
// file set). context carries the delivery fields; its server name, default
// recipient and distribute flag are filled from settings here. Returns true
// when every new message was fetched and delivered; otherwise the session's
// LastError tells why (the run's own failures leave it as the session set it).
//
// Messages are delivered in groups (see DeliveryContext): each is written
// into the queue folder as it arrives, and a group's files are flushed,
// named and their folder flushed together; only then are their ids
// recorded. A crash may so fetch a message twice, never lose one.
bool PullRun(const std::string& workFolder, CMailClient& session, DeliveryContext& context,
             const CMailServer& settings, bool leaveCopy);

}  // namespace tarnwick
