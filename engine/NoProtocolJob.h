// The pull job of an engine that has no mail protocol to speak: every run
// fails with a clear text, so that status lines and activity log entries
// still show each account's turn.
#pragma once

#include "engine/AccountJob.h"

namespace tarnwick {

class NoProtocolJob final : public AccountJob {
 public:
  AccountRunResult Run(const AccountSession& session, const ProgressFn& progress) override;
};

}  // namespace tarnwick
