#include "engine/EngineContext.h"

#include "engine/PullJob.h"
#include "exchange/BearerAuthorization.h"
#include "exchange/ExchangeProtocols.h"
#include "platform/Files.h"

namespace tarnwick {

EngineContext::EngineContext(std::string applicationFolder, Clock& clock, std::unique_ptr<AccountJob> job)
    : appFolder_(std::move(applicationFolder)),
      clock_(clock),
      job_(job ? std::move(job) : std::make_unique<PullJob>()),
      config_(JoinPath(appFolder_, "conf/config.txt")),
      scheduler_(*this) {
  // Accounts of protocols 2 and 3 are served by the Exchange clients; OAuth2
  // accounts among them send a bearer token instead of their password.
  RegisterExchangeProtocols(PrepareBearerAuthorization);
}

}  // namespace tarnwick
