// The narrow interface through which a worker runs one pull of one account.
// The engine's real job is the pull job; tests plug in fakes.
#pragma once

#include "engine/AccountSettings.h"

#include <functional>
#include <string>

namespace tarnwick {

// Progress callback: (label, text). The worker passes its status setter.
using ProgressFn = std::function<void(const std::string& label, const std::string& text)>;

struct AccountRunResult {
  bool ok = false;
  std::string lastError;   // the session's LastError when !ok
  std::string transcript;  // the session's Transcript, body of the activity log entry
};

class AccountJob {
 public:
  virtual ~AccountJob() = default;
  // Runs one pull for the account. Called on a worker thread; must not throw.
  virtual AccountRunResult Run(const AccountSession& session, const ProgressFn& progress) = 0;
};

}  // namespace tarnwick
