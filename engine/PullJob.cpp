#include "engine/PullJob.h"

#include "engine/DeliveryGroup.h"
#include "engine/DeliveryJournal.h"
#include "engine/MailServerInterface.h"
#include "engine/UidlStore.h"
#include "platform/AsciiText.h"
#include "platform/DurableFile.h"
#include "platform/Errors.h"
#include "platform/Files.h"

#include <mutex>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarnwick {

namespace {

std::string Position(std::size_t i, std::size_t count) {
  return std::to_string(i + 1) + " / " + std::to_string(count);
}

}  // namespace

namespace {

std::mutex g_sweptMutex;
std::set<std::string> g_swept;  // private folders swept by this process

// Once per process and private folder, before any run writes there: the
// temporary files that no account's journal names are left from a crash.
// Journals lie in the work folders beside this account's; so do the files
// that a crash during a rewrite of uidl.txt leaves.
void SweepOnce(const std::string& workFolder, const DeliveryContext& context, CMailClient& session) {
  std::lock_guard lock(g_sweptMutex);
  if (!g_swept.insert(PrivateFolderFor(context.queueFolder)).second) return;
  std::set<std::string> named;
  std::string accounts = workFolder;
  while (accounts.size() > 1 && accounts.back() == '/') accounts.pop_back();
  accounts = FolderOf(accounts);
  // Files written aside by an atomic rewrite of an account's id files
  // ("uidl.txt.tmp.<pid>.<n>") that another process never renamed.
  const std::string own = ".tmp." + std::to_string(OwnProcessId()) + ".";
  std::size_t removed = 0;
  for (const std::string& folder : ListFolders(accounts)) {
    const std::string path = JoinPath(accounts, folder);
    if (SameFolder(path, context.queueFolder)) continue;  // the queue is never touched here
    for (JournalEntry& e : DeliveryJournal::Read(JoinPath(path, DeliveryJournal::kFileName)))
      named.insert(std::move(e.tempName));
    for (const std::string& name : ListFiles(path))
      if ((name.starts_with("uidl.txt.tmp.") || name.starts_with("uidvalidity.txt.tmp.")) &&
          name.find(own) == std::string::npos && RemoveFile(JoinPath(path, name)) == 0)
        ++removed;
  }
  removed += SweepTemporaryFiles(context.queueFolder, [&](const std::string& name) { return named.count(name) != 0; });
  if (removed > 0)
    session.Transcript.append("Removed " + std::to_string(removed) + " temporary files left by an earlier run\r\n");
}

// Finishes what the journal of an earlier run holds: a message whose
// temporary file is gone was named in the queue (or already taken from it
// by the mail server) and gets its id recorded; one whose file is still
// there was not, and is fetched again. False when the ids cannot be saved
// (the journal then stays for the next run).
bool RecoverJournal(DeliveryJournal& journal, UidlStore& store, const DeliveryContext& context,
                    CMailClient& session) {
  std::vector<JournalEntry> entries = DeliveryJournal::Read(journal.path());
  if (entries.empty()) {
    if (FileExists(journal.path())) journal.Clear(false);
    return true;
  }
  const std::string folder = PrivateFolderFor(context.queueFolder);
  std::size_t recorded = 0, again = 0;
  std::vector<std::string> unnamed;
  for (JournalEntry& e : entries) {
    const std::string path = JoinPath(folder, e.tempName);
    if (e.tempName != DeliveryJournal::kUnnamed && IsTemporaryFileName(e.tempName) && !FileExists(path)) {
      if (!store.ContainsLine(e.uidlLine)) store.AddLine(std::move(e.uidlLine));
      ++recorded;
    } else {
      // Not named, or made without a name and so not known to be: fetched again.
      if (IsTemporaryFileName(e.tempName)) unnamed.push_back(path);
      ++again;
    }
  }
  session.Transcript.append("Delivery journal: " + std::to_string(recorded) + " delivered, " +
                            std::to_string(again) + " to fetch again\r\n");
  if (recorded > 0) {
    if (!store.Save(session)) return false;
    SyncFolder(FolderOf(store.path()));
  }
  // The journal is emptied on disk before the files it names go, or they
  // would count as named after a crash in between.
  if (int e = journal.Clear(true)) return session.RaiseError(e, "UPDATE UIDL FILE");
  for (const std::string& path : unnamed) RemoveFile(path);
  return true;
}

// The folder's validity stamp of an IMAP4 account, kept in "uidvalidity.txt"
// in the work folder beside uidl.txt: one line "server#user#folder value"
// per folder, the part before the value lower-cased. A new stamp means the
// server numbers the folder's messages afresh: every id recorded for it is
// forgotten (fetched again rather than missed). False when the file cannot
// be written.
bool CheckUidValidity(const std::string& workFolder, UidlStore& store, CMailClient& session) {
  const std::string path = JoinPath(workFolder, "uidvalidity.txt");
  const std::string prefix = AsciiLowered(UidlStore::Prefix(session));
  std::string text;
  ReadWholeFile(path, text);
  std::string stored;
  std::string others;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) break;  // torn: as if not there
    std::string line = text.substr(pos, lf - pos);
    pos = lf + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line.starts_with(prefix)) stored = line.substr(prefix.size());
    else others.append(line).append("\r\n");
  }
  const bool changed = !stored.empty() && stored != session.UidValidity;
  if (changed)
    session.Transcript.append("UIDVALIDITY of folder " + session.FolderName + " changed from " + stored + " to " +
                              session.UidValidity + ": its recorded UIDs are forgotten and its messages fetched again\r\n");
  // The old ids go before the new stamp is kept: a crash in between finds
  // the old stamp and forgets them again.
  if (!store.Sync(session, changed)) return false;
  if (stored == session.UidValidity) return true;
  if (int e = ReplaceFileAtomic(path, others + prefix + session.UidValidity + "\r\n"))
    return session.RaiseError(CreateFailure(path, e), "UPDATE UIDL FILE");
  return true;
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
  SweepOnce(workFolder, context, session);
  DeliveryJournal journal(workFolder);
  if (!RecoverJournal(journal, store, context, session)) return false;

  session.Report("Retrieving mail list ...");
  if (session.GetMailList() != 0) return false;

  session.Report("Synchronizing UIDL ...");
  if (!session.UidValidity.empty()) {
    if (!CheckUidValidity(workFolder, store, session)) return false;
  } else {
    store.Sync(session);
  }

  const std::size_t count = session.Messages.size();
  // A message is deleted on the server only when its own fetch and delivery
  // succeeded in this run, or when an earlier run recorded its id and no
  // other message of the list carries that id. A message without an id is
  // never matched: it is fetched on every run.
  std::vector<char> deletable(count, 0);
  std::unordered_map<std::string_view, int> listed;
  for (const CMailInfo& m : session.Messages)
    if (!m.UIDL.empty()) ++listed[m.UIDL];
  std::unordered_set<std::string_view> begun;  // ids fetched in this run

  // Deliveries begun but not finished. Finished groups have their ids
  // recorded here; a failure while finishing records the ids of the
  // messages that made it and stops the run like a failed delivery.
  //
  // The journal keeps the entries of every group named in this run until
  // their ids are on disk in uidl.txt; that is made sure once, at the end
  // of the run, so that a group costs one flush more than its files (the
  // journal's), not two. Temporary files of failed deliveries go only once
  // the journal that may name them is empty.
  DeliveryGroup group(context, &journal);
  bool journalHolds = false;
  std::vector<std::string> leftovers;
  auto record = [&]() -> bool {
    DeliveryGroup::Finished f = group.Take();
    if (!f.named.empty()) store.OpenAppend();
    for (auto& [tag, line] : f.named) {
      deletable[tag] = 1;
      if (!line.empty() && !store.ContainsLine(line)) store.AddLine(std::move(line));
    }
    journalHolds = journalHolds || f.journaled;
    leftovers.insert(leftovers.end(), f.leftovers.begin(), f.leftovers.end());
    if (f.failure) return session.RaiseError(f.failure, "CreateFile to Queue");
    return true;
  };
  // Puts the recorded ids on disk and empties the journal. A failure keeps
  // the journal for the next run, which records what it names.
  auto settle = [&](bool keepError) -> bool {
    if (!journalHolds && leftovers.empty()) return true;
    const std::string error = session.LastError;
    const std::string response = session.LastResponse;
    bool good = store.FlushAppend() == 0 || store.Save(session);
    if (good && journal.Clear(!leftovers.empty()) == 0) {
      for (const std::string& path : leftovers) RemoveFile(path);
      leftovers.clear();
      journalHolds = false;
    }
    if (keepError) {
      session.LastError = error;
      session.LastResponse = response;
    }
    return good;
  };
  // On a failure the messages before it are still finished and recorded;
  // the first failure stays the run's error. Every way out of the loop
  // finishes the group, so that nothing handed over is left unnamed.
  auto finishAfterFailure = [&] {
    const std::string error = session.LastError;
    const std::string response = session.LastResponse;
    group.Finish();
    record();
    session.LastError = error;
    session.LastResponse = response;
  };

  bool ok = true;
  std::string message;
  for (std::size_t i = 0; i < count; ++i) {
    const CMailInfo& info = session.Messages[i];
    session.Report("Checking mail list, Seq:" + Position(i, count) + " ...");
    if (!info.UIDL.empty()) {
      // An id listed twice is fetched once; the other copy is left alone.
      if (begun.count(info.UIDL)) continue;
      if (store.Contains(session, info.UIDL)) {
        deletable[i] = listed[info.UIDL] == 1;
        continue;
      }
    }
    // A group whose time runs out during the download is finished meanwhile.
    group.DownloadStarts();
    const bool fetched = session.RetrieveMail(&info, message);
    group.DownloadEnds();
    if (!fetched) {
      finishAfterFailure();
      store.Save(session);
      ok = false;
      break;
    }
    if (!record()) {
      finishAfterFailure();
      store.Save(session);
      ok = false;
      break;
    }
    // The next message to fetch is asked for now, so that the server sends
    // it while this one is written.
    for (std::size_t j = i + 1; j < count; ++j) {
      const CMailInfo& next = session.Messages[j];
      if (!next.UIDL.empty() &&
          (next.UIDL == info.UIDL || begun.count(next.UIDL) || store.Contains(session, next.UIDL)))
        continue;
      session.PrefetchMail(next);
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
    if (!info.UIDL.empty()) begun.insert(info.UIDL);
    group.Add(std::move(pending), info.UIDL.empty() ? std::string() : store.Key(session, info.UIDL), i);
    if (group.Due()) {
      // Flushed beside the run while the next messages come in; named at
      // the next hand-over, during the next download or at the end.
      group.Hand();
      if (!record()) {
        finishAfterFailure();
        store.Save(session);
        ok = false;
        break;
      }
    }
  }
  if (ok) {
    group.Finish();
    if (!record()) {
      store.Save(session);
      ok = false;
    }
  }
  message.shrink_to_fit();
  if (!settle(!ok)) ok = false;
  store.CloseAppend();

  if (!leaveCopy && ok) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!deletable[i]) continue;
      const CMailInfo& info = session.Messages[i];
      session.Report("Delete email, Seq:" + Position(i, count) + " ...");
      // The id stays recorded: should the server not commit the deletion
      // (a failed QUIT), the message is not fetched again; once it is gone
      // from the list, the next run drops its line.
      session.DeleteMail(&info);
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
