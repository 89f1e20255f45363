// Runs of the engine program for bench_pull: one account handed in with
// RunNow and timed until its uidl.txt lists every message; many accounts
// pulled once after start-up; many accounts kept on their interval.
#pragma once

#include "bench/support/Measure.h"
#include "bench/support/Peers.h"
#include "tests/support/Dovecot.h"

#include <string>

namespace tarnwick::bench {

struct EngineProgramResult {
  Usage usage;            // wall from the RunNow request to the last id recorded
  std::size_t files = 0;  // files in the queue folder afterwards
  std::string note;
};

// One run of the engine program over the endpoint's mailbox of `expected`
// messages, in a fresh system root below root. With straceOutput, strace
// counts the engine's system calls of the run into that file.
EngineProgramResult RunEngineProgram(const Endpoint& endpoint, const std::string& root, int expected,
                                     int limitSeconds, const std::string& straceOutput = "");

// Gives `accounts` users of the Dovecot `messages` small messages each and
// lets one engine program with "MaxThread" 64 pull all of them once. The
// accounts come in with one PutConfig after start-up, so that the scheduler
// queues them at once rather than 10 s apart (its rule for accounts added
// later). Prints total time, CPU and peak RSS.
void ScaleRun(test::Dovecot& dovecot, const std::string& root, int accounts, int messages, int limitSeconds);

// Keeps `accounts` accounts with "DownloadInterval" `interval` minutes on one
// engine program ("MaxThread" 64) for `minutes` minutes, while new messages
// arrive at random accounts. Prints the longest and 95th-percentile gap
// between two runs of an account (from the server's login lines), the 95th
// percentile of the time new mail waits until it is in the queue, runs per
// second, CPU per run and peak RSS.
void ScheduleRun(test::Dovecot& dovecot, const std::string& root, int accounts, int interval, int minutes);

}  // namespace tarnwick::bench
