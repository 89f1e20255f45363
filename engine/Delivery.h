// Hands a fetched message to the local mail server: a new ".eml" file in its
// queue folder, led by the envelope lines "x-sender" and "x-rcpt-to", a
// Received trace header and two origin headers, named so that the queue
// sorts by the message's date.
#pragma once

#include "platform/Clock.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

class CMailClient;

// What delivery needs of the pull job that runs it.
struct DeliveryContext {
  std::string serverName;        // the account's "Server", for the Received header
  std::string defaultRecipient;  // LocalUser "@" LocalDomain
  int32_t distribute = 0;        // 1: deliver to the message's own local recipients
  std::string queueFolder;
  std::string dataFolder;        // empty: the mail server's, looked up on first use
  std::string localAddress;      // numeric address of this end of the connection
  std::string remoteAddress;     // numeric address of the mail server
  int32_t queueCounter = 0;      // 0 to 98, part of the file names
  Clock* clock = &SystemClock();
};

// Writes the message into the queue folder. The file appears under its
// final name only once it is completely on disk. On failure the session's
// error holds the reason ("CreateFile to Queue").
bool Deliver(CMailClient& session, DeliveryContext& context, std::string_view message);

// Whether address names a mailbox of the local mail server: its user folder
// exists, or its domain takes mail for every name.
bool IsLocalRecipient(std::string_view address, DeliveryContext& context);

// The local addresses among a "To" and "Cc" list, folded with ",\r\n\t".
std::string FilterLocalRecipients(std::string_view recipients, DeliveryContext& context);

// The queue file name (without ".eml") for a message date text and the
// current time: "0", the fourteen digits of the date as written, then the
// millisecond and the counter; or, for a date that does not parse, "0" and
// twenty digits of the local clock and the counter.
std::string QueueFileName(std::string_view dateText, DeliveryContext& context);

}  // namespace tarnwick
