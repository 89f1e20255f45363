// Message dates: the current time written as a message date (the Received
// header of queued messages, the protocol log) and a message date read back
// into a time value and a compact stamp (queue file names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace tarnwick {

// The local date and time of the given moment (seconds since 1970 UTC) as
// "Tue, 3 Mar 2009 14:05:09 +0100": English day and month names, the zone
// as hours and minutes east of UTC, and "-0000" at UTC.
std::string MessageDateAt(int64_t seconds);
// The same for the clock's current time.
std::string MessageDateNow(Clock& clock = SystemClock());

// Reads a message date such as "Tue, 3 Mar 2009 14:05:09 +0100" (or a whole
// Received value: only the text after its last ";" counts) as a local time
// and returns it in seconds since 1970 UTC; the zone written in the text is
// not used. Returns 0 when the text does not parse. When stamp is given and
// the text parses, it receives the fourteen digits "yyyyMMddHHmmss" of the
// fields as written; on failure it is left untouched.
int64_t ParseMessageDate(std::string_view text, std::string* stamp = nullptr);

}  // namespace tarnwick
