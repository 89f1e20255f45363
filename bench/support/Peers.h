// Other mail pullers timed on the same mailbox as the engine: fetchmail
// (POP3 and IMAP4), getmail6 (POP3) and mbsync of isync (IMAP4). Each writes
// every message into a file of a temporary folder (fetchmail over SMTP to
// the benchmark's sink, the others into a maildir) and talks to the
// private Dovecot on the loopback address only. Peers that are not
// installed are skipped.
#pragma once

#include "bench/support/Measure.h"

#include <string>
#include <vector>

namespace tarnwick::bench {

// The mailbox and how to reach it.
struct Endpoint {
  int port = 0;
  bool imap = false;
  bool tls = false;           // TLS from the first byte (pop3s, imaps)
  std::string user;
  std::string password;
  std::string certificate;    // the server's self-signed certificate (PEM file)
};

struct PeerResult {
  std::string name;
  Usage usage;
  std::size_t files = 0;      // messages found in the output folder afterwards
  std::string logTail;        // the end of the peer's output, for failures
};

// The peers that speak the endpoint's protocol and are installed.
std::vector<std::string> PeersFor(const Endpoint& endpoint);

// Runs one peer once over the whole mailbox into folder (empty, owned by
// the caller; see OutputFolders).
PeerResult RunPeer(const std::string& name, const Endpoint& endpoint, const std::string& folder,
                   int limitSeconds);

}  // namespace tarnwick::bench
