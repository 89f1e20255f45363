#include "engine/Delivery.h"

#include "engine/MailServerInterface.h"
#include "mailclient/MailClient.h"
#include "message/Encoding.h"
#include "message/Headers.h"
#include "message/MessageDate.h"
#include "platform/DurableFile.h"
#include "platform/Errors.h"
#include "platform/Files.h"

#include <atomic>
#include <cstdio>

namespace tarnwick {

namespace {

constexpr std::string_view kFold = ",\r\n\t";

std::atomic<int> g_heldQueueFiles{0};

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// An envelope value is one line: line breaks that a folded header carried
// into it are dropped.
std::string OneLine(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

std::string BareAddress(std::string_view text) {
  std::string name, address;
  SplitAddress(text, name, address);
  return address;
}

}  // namespace

QueueFileSlot& QueueFileSlot::operator=(QueueFileSlot&& o) noexcept {
  if (this != &o) {
    Reset();
    taken_ = o.taken_;
    o.taken_ = false;
  }
  return *this;
}

QueueFileSlot QueueFileSlot::Take() {
  QueueFileSlot slot;
  if (g_heldQueueFiles.fetch_add(1) < kMaxHeldQueueFiles) slot.taken_ = true;
  else g_heldQueueFiles.fetch_sub(1);
  return slot;
}

int QueueFileSlot::Taken() { return g_heldQueueFiles.load(); }

void QueueFileSlot::Reset() {
  if (taken_) g_heldQueueFiles.fetch_sub(1);
  taken_ = false;
}

bool IsLocalRecipient(std::string_view address, DeliveryContext& context) {
  if (context.dataFolder.empty()) context.dataFolder = MailServerDataFolder();
  std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return false;
  // A name with control characters would break the folded envelope line.
  if (HasControl(address)) return false;
  std::string user(address.substr(0, at));
  std::string domain(address.substr(at + 1));
  if (MailboxExists(context.dataFolder, user, domain)) return true;
  return DomainAcceptsAll(context.dataFolder, domain);
}

std::string FilterLocalRecipients(std::string_view recipients, DeliveryContext& context) {
  std::string result;
  auto take = [&](std::string_view piece) {
    std::string p(piece);
    Trim(p, " ;,\r\n\t");
    std::string address = BareAddress(p);
    Trim(address, " \r\n\t<>\",;");
    if (!address.empty() && IsLocalRecipient(address, context)) result.append(address).append(kFold);
  };
  // Cut at each "," or ";" outside double quotes: "Lee, Ann" <ann@x> is one.
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    char c = recipients[i];
    if (c == '"') quoted = !quoted;
    else if (!quoted && (c == ',' || c == ';')) {
      take(recipients.substr(start, i - start));
      start = i + 1;
    }
  }
  take(recipients.substr(start));
  Trim(result, " \r\n\t,");
  return result;
}

std::string QueueFileName(std::string_view dateText, DeliveryContext& context) {
  const int64_t nowMs = context.clock->NowMs();
  const int ms = static_cast<int>(((nowMs % 1000) + 1000) % 1000);
  std::string stamp;
  char tail[32];
  if (ParseMessageDate(dateText, &stamp) != 0 && !stamp.empty()) {
    std::snprintf(tail, sizeof tail, "%03d%02d", ms, static_cast<int>(context.queueCounter));
    return "0" + stamp + tail;
  }
  std::tm t = LocalTime(nowMs >= 0 ? nowMs / 1000 : (nowMs - 999) / 1000);
  char name[64];
  std::snprintf(name, sizeof name, "0%04d%02d%02d%02d%02d%02d%03d%03d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms, static_cast<int>(context.queueCounter));
  return name;
}

bool BeginDelivery(CMailClient& session, DeliveryContext& context, std::string_view message,
                   PendingDelivery& out) {
  // The header block runs to the empty line; everything from that line on
  // goes into the file byte for byte.
  std::optional<std::size_t> headerEnd = FindHeaderEnd(message);
  const std::size_t split = headerEnd ? *headerEnd : message.size();
  std::string header(message.substr(0, split));
  const std::string_view rest = message.substr(split);

  std::string dateText;
  if (!HeaderValue(header, "received", dateText)) HeaderValue(header, "date", dateText);
  Trim(dateText, " \r\n\t");

  std::string from;
  HeaderValue(header, "from", from);
  Trim(from, " \r\n\t");
  const std::string sender = OneLine(BareAddress(from));

  std::string to, cc;
  HeaderValue(header, "to", to);
  HeaderValue(header, "cc", cc);
  std::string messageRecipients = to + "," + cc;
  Trim(messageRecipients, " \r\n\t,;");

  std::string recipients;
  if (context.distribute == 1) {
    recipients = FilterLocalRecipients(messageRecipients, context);
    Trim(recipients, " \r\n\t;,");
  }
  if (recipients.empty()) recipients = context.defaultRecipient;

  // The server reads the envelope from the leading lines only; copies the
  // message brought along would follow ours.
  RemoveHeader(header, "x-sender");
  RemoveHeader(header, "x-rcpt-to");
  RemoveHeader(header, "x-mime-parser");

  if (context.localHostName.empty()) context.localHostName = LocalHostNameEncoded();
  const std::string envelope = "x-sender: " + sender + "\r\n" + "x-rcpt-to: " + recipients + "\r\n";
  const std::string lead = envelope + "Received: from " + context.serverName + "[" + context.remoteAddress +
                           "] by " + context.localHostName + "[" + context.localAddress +
                           "]\r\n  (TARNWICK); " + MessageDateNow(*context.clock) + "\r\n" +
                           "X-Originating-IP: " + context.remoteAddress + "\r\n" +
                           "X-Originating-Sender: " + sender + "\r\n";
  const std::string processingLog = "[PROC] forward message\r\n" + envelope;

  // Written whole where the mail server does not look; flushed and given
  // its ".eml" name by FinishDeliveries.
  PendingDelivery pending;
  int e = PrepareTemporaryFolder(context);
  if (!e && context.unnamedFiles) {
    e = WriteUnnamedFile(context.queueFolder, {lead, header, rest}, pending.file);
  } else if (!e) {
    pending.tempName = "tarnwick-" + UniqueFileTag() + "-" + std::to_string(context.clock->NowMs()) + ".tmp";
    pending.tempPath = JoinPath(context.tempFolder, pending.tempName);
    e = WriteNewFile(pending.tempPath, {lead, header, rest}, pending.file);
  }
  if (e) {
    session.Transcript.append(processingLog);
    return session.RaiseError(e, "CreateFile to Queue");
  }
  pending.slot = QueueFileSlot::Take();
  // A file without a name lives only while it is open.
  if (!pending.slot && !context.unnamedFiles) {
    pending.flushed = true;
    if (int e = SyncAndClose(pending.file)) {
      RemoveFile(pending.tempPath);
      session.Transcript.append(processingLog);
      return session.RaiseError(e, "CreateFile to Queue");
    }
  }
  // The name is chosen now, as the message is written, by the rule of a file
  // created under it at once: a name taken in the folder is built again
  // 10 ms later with the next counter. A name that only a begun delivery of
  // this run holds is no file yet; the next counter is taken at once, so
  // that messages of one date arriving within a millisecond do not wait
  // (unless every counter is held: then the clock has to move on).
  for (int held = 0;;) {
    pending.name = QueueFileName(dateText, context) + ".eml";
    const bool reserved = context.reservedNames.count(pending.name) != 0;
    if (!reserved && !FileExists(JoinPath(context.queueFolder, pending.name))) break;
    if (!reserved || ++held >= 99) {
      context.clock->SleepMs(10);
      held = 0;
    }
    context.queueCounter = context.queueCounter > 97 ? 0 : context.queueCounter + 1;
  }
  context.reservedNames.insert(pending.name);
  pending.dateText = std::move(dateText);
  pending.size = lead.size() + header.size() + rest.size();
  out = std::move(pending);
  session.Transcript.append(processingLog).append("process ok\r\n");
  return true;
}

std::size_t FlushGroup(std::vector<PendingDelivery>& group, int& failure) {
  // Every file is flushed before any is named: a flush may also write out
  // the folder, and naming in between would give each flush a changed
  // folder to write again.
  failure = 0;
  std::size_t synced = 0;
  for (; synced < group.size(); ++synced) {
    PendingDelivery& p = group[synced];
    if (p.tempPath.empty()) {
      failure = SyncData(p.file);  // stays open until it has its name
    } else {
      if (!p.flushed) failure = SyncAndClose(p.file);
      p.slot.Reset();
    }
    if (failure) break;
  }
  return synced;
}

std::size_t NameGroup(DeliveryContext& context, std::vector<PendingDelivery>& group, std::size_t synced,
                      int& failure, std::vector<std::string>& leftovers) {
  const int flushFailure = failure;
  failure = 0;
  std::size_t done = 0;
  for (; done < synced; ++done) {
    const PendingDelivery& p = group[done];
    std::string path = JoinPath(context.queueFolder, p.name);
    for (;;) {
      failure = p.tempPath.empty() ? LinkNoReplace(p.file, path) : RenameNoReplaceUnsynced(p.tempPath, path);
      if (failure != err::kFileExists && failure != err::kAlreadyExists) break;
      // A taken name: wait, move the counter on and build the name again.
      context.clock->SleepMs(10);
      context.queueCounter = context.queueCounter > 97 ? 0 : context.queueCounter + 1;
      path = JoinPath(context.queueFolder, QueueFileName(p.dateText, context) + ".eml");
    }
    if (failure) break;
  }
  if (!failure) failure = flushFailure;
  // One flush of the folder puts every new name of the group on disk.
  if (done > 0) SyncFolder(context.queueFolder);
  for (PendingDelivery& p : group) {
    p.file.reset();
    p.slot.Reset();
  }
  for (std::size_t i = done; i < group.size(); ++i)
    if (!group[i].tempPath.empty()) leftovers.push_back(group[i].tempPath);
  for (const PendingDelivery& p : group) context.reservedNames.erase(p.name);
  group.clear();
  return done;
}

std::size_t FinishGroup(DeliveryContext& context, std::vector<PendingDelivery>& group, int& failure,
                        std::vector<std::string>& leftovers) {
  const std::size_t synced = FlushGroup(group, failure);
  return NameGroup(context, group, synced, failure, leftovers);
}

std::size_t FinishDeliveries(CMailClient& session, DeliveryContext& context, std::vector<PendingDelivery>& group) {
  int failure = 0;
  std::vector<std::string> leftovers;
  const std::size_t done = FinishGroup(context, group, failure, leftovers);
  for (const std::string& path : leftovers) RemoveFile(path);
  if (failure) session.RaiseError(failure, "CreateFile to Queue");
  return done;
}

std::string PrivateFolderFor(const std::string& queueFolder) {
  std::string queue = queueFolder;
  while (queue.size() > 1 && queue.back() == '/') queue.pop_back();
  return JoinPath(FolderOf(queue), "tarnwick-tmp");
}

int PrepareTemporaryFolder(DeliveryContext& context) {
  if (context.tempFolderReady) return 0;
  if (!FolderExists(context.queueFolder)) return err::kPathNotFound;
  // Renamed into the queue, a file is there whole at once; that needs one
  // file system. Otherwise the file has no name until it is complete.
  const std::string folder = PrivateFolderFor(context.queueFolder);
  if (MakeFolder(folder, 0700) == 0 && OnOneFileSystem(folder, context.queueFolder)) {
    context.tempFolder = folder;
    context.unnamedFiles = false;
  } else {
    context.tempFolder.clear();
    context.unnamedFiles = true;
  }
  context.tempFolderReady = true;
  return 0;
}

bool IsTemporaryFileName(std::string_view name) {
  return name.size() > 13 && name.starts_with("tarnwick-") && name.ends_with(".tmp");
}

std::size_t SweepTemporaryFiles(const std::string& queueFolder,
                                const std::function<bool(const std::string&)>& keep) {
  std::size_t removed = 0;
  const std::string folder = PrivateFolderFor(queueFolder);
  for (const std::string& name : ListFiles(folder))
    if (IsTemporaryFileName(name) && !keep(name) && RemoveFile(JoinPath(folder, name)) == 0) ++removed;
  for (const std::string& name : ListFiles(queueFolder))
    if (name.size() > 14 && name.starts_with(".tarnwick-") && name.ends_with(".tmp") &&
        RemoveFile(JoinPath(queueFolder, name)) == 0)
      ++removed;
  return removed;
}

bool Deliver(CMailClient& session, DeliveryContext& context, std::string_view message) {
  std::vector<PendingDelivery> one(1);
  if (!BeginDelivery(session, context, message, one[0])) return false;
  return FinishDeliveries(session, context, one) == 1;
}

}  // namespace tarnwick
