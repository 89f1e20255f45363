#include "engine/NoProtocolJob.h"

namespace tarnwick {

AccountRunResult NoProtocolJob::Run(const AccountSession&, const ProgressFn&) {
  AccountRunResult r;
  r.ok = false;
  r.lastError = "No mail protocol is available in this engine.";
  r.transcript = r.lastError + "\r\n";
  return r;
}

}  // namespace tarnwick
