#include "engine/PullJob.h"

#include "engine/MailServerInterface.h"
#include "engine/UidlStore.h"
#include "platform/Errors.h"

#include <algorithm>
#include <vector>

namespace tarnwick {

namespace {

std::string Position(std::size_t i, std::size_t count) {
  return std::to_string(i + 1) + " / " + std::to_string(count);
}

}  // namespace

bool PullRun(const std::string& workFolder, CMailClient& session, DeliveryContext& context,
             const CMailServer& settings, bool leaveCopy) {
  context.serverName = settings.Server;
  context.defaultRecipient = settings.LocalUser + "@" + settings.LocalDomain;
  context.distribute = settings.DistributeType != 0 ? 1 : 0;

  if (session.Connect(&settings) != 0) return false;

  context.localAddress = session.LocalAddress();
  context.remoteAddress = session.PeerAddress();

  UidlStore store(workFolder);
  session.Report("Loading local UIDL file ...");
  store.Load(session);

  session.Report("Retrieving mail list ...");
  if (session.GetMailList() != 0) return false;

  session.Report("Synchronizing UIDL ...");
  store.Sync(session);

  // Deliveries begun but not finished, with their ids. A group is finished
  // before any id of it is recorded; a failure while finishing records the
  // ids of the messages that made it and stops the run like a failed delivery.
  std::vector<PendingDelivery> group;
  std::vector<std::string> groupIds;
  std::size_t groupBytes = 0;
  int64_t groupStartMs = 0;
  auto finishGroup = [&]() -> bool {
    if (group.empty()) return true;
    const std::size_t total = group.size();
    const std::size_t done = FinishDeliveries(session, context, group);
    if (done > 0) store.OpenAppend();
    for (std::size_t i = 0; i < done; ++i) store.Add(session, groupIds[i]);
    groupIds.clear();
    groupBytes = 0;
    return done == total;
  };
  // On a failure the messages before it are still finished and recorded;
  // the first failure stays the run's error.
  auto finishAfterFailure = [&] {
    const std::string error = session.LastError;
    const std::string response = session.LastResponse;
    if (!finishGroup()) {
      session.LastError = error;
      session.LastResponse = response;
    }
  };

  bool ok = true;
  const std::size_t count = session.Messages.size();
  std::string message;
  for (std::size_t i = 0; i < count; ++i) {
    const CMailInfo& info = session.Messages[i];
    session.Report("Checking mail list, Seq:" + Position(i, count) + " ...");
    // An id the group holds counts as recorded already: it will be.
    if (store.Contains(session, info.UIDL) ||
        std::find(groupIds.begin(), groupIds.end(), info.UIDL) != groupIds.end())
      continue;
    if (!session.RetrieveMail(&info, message)) {
      finishAfterFailure();
      store.Save(session);
      ok = false;
      break;
    }
    session.Report("Forwarding email, Seq:" + Position(i, count) + " ...");
    // The message is on disk under its final name before its id is
    // recorded: a crash in between fetches it again, it never loses it.
    PendingDelivery pending;
    if (!BeginDelivery(session, context, message, pending)) {
      message.clear();
      finishAfterFailure();
      store.Save(session);
      ok = false;
      break;
    }
    message.clear();
    if (group.empty()) groupStartMs = context.clock->NowMs();
    groupBytes += pending.size;
    group.push_back(std::move(pending));
    groupIds.push_back(info.UIDL);
    if (group.size() >= context.groupMessages || groupBytes >= context.groupBytes ||
        context.clock->NowMs() - groupStartMs >= context.groupWaitMs) {
      if (!finishGroup()) {
        store.Save(session);
        ok = false;
        break;
      }
    }
  }
  if (ok && !finishGroup()) {
    store.Save(session);
    ok = false;
  }
  message.shrink_to_fit();
  store.CloseAppend();

  if (!leaveCopy && ok) {
    for (std::size_t i = 0; i < count; ++i) {
      const CMailInfo& info = session.Messages[i];
      session.Report("Delete email, Seq:" + Position(i, count) + " ...");
      if (session.DeleteMail(&info) == 0) store.Remove(session, info.UIDL);
    }
  }

  if (!session.IsUsable()) {
    session.RaiseError(err::kNotConnected);
    store.Save(session);
  } else if (!session.Quit()) {
    store.Save(session);
  }
  return ok;
}

PullJob::PullJob(PullOptions options) : options_(std::move(options)) {}

AccountRunResult PullJob::Run(const AccountSession& account, const ProgressFn& progress) {
  AccountRunResult result;
  if (account.workFolder.empty()) {
    // Without a work folder the UIDL file would land wherever the engine
    // happens to run; such an account is not pulled.
    CMailClient none;
    none.RaiseError(account.workFolderError ? account.workFolderError : err::kInvalidName);
    result.lastError = none.LastError;
    result.transcript = none.Transcript;
    return result;
  }
  CMailClient session;
  session.Label = account.label;
  session.Progress = progress;
  session.FolderName = account.imapFolder;
  session.Timeout = options_.timeoutSeconds;
  session.StallWaitMs = options_.stallWaitMs;
  if (account.server.OAuth2) session.TokenSource = MakeTokenSource(account.oauth, account.workFolder, *options_.clock);
  if (account.logFileName) session.SetLogFileName(account.logFileName->c_str());

  DeliveryContext context;
  context.queueFolder = options_.queueFolder.empty() ? MailServerQueueFolder() : options_.queueFolder;
  context.dataFolder = options_.dataFolder.empty() ? MailServerDataFolder() : options_.dataFolder;
  context.clock = options_.clock;
  context.groupMessages = options_.groupMessages;
  context.groupBytes = options_.groupBytes;
  context.groupWaitMs = options_.groupWaitMs;

  result.ok = PullRun(account.workFolder, session, context, account.server, account.leaveCopy);
  if (!result.ok) result.lastError = session.LastError;
  result.transcript = std::move(session.Transcript);
  return result;
}

}  // namespace tarnwick
