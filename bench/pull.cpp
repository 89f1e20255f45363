// Pull throughput: fills a private Dovecot mailbox, runs the engine's pull
// job over it into a queue folder over POP3, POP3 over TLS, IMAP4 and IMAP4
// over TLS, and times the other pullers that are installed (fetchmail,
// getmail6, mbsync) on the same mailbox in the same run. Every run is a
// child process of its own; the table shows wall seconds, messages/s, MB/s,
// CPU seconds and peak RSS, and the engine's wall time against each peer's.
//
//   bench_pull                          2000 messages of ~10 KB, then 200 of ~1 MB
//   bench_pull --set 10k                one mailbox only (10k or 1m)
//   bench_pull --count 500 --size 4096  a mailbox of your own
//   bench_pull --modes pop3,imaps       some protocols only (pop3, pop3s, imap, imaps)
//   bench_pull --runs 3                 median of three runs per row
//   bench_pull --no-peers               the engine only
//   bench_pull --log                    the engine writes a protocol log file too
//   bench_pull --group 1                messages the engine flushes and names together (32)
//   bench_pull --one-date               every message carries the same Date (queue names collide)
//   bench_pull --no-proxies             without the rows through dante (SOCKS5) and tinyproxy (HTTP
//                                       CONNECT), run for the 10 KB mailbox over POP3 and IMAP4
//   bench_pull --no-program             leave out the engine program rows ("engine")
//   bench_pull --strace DIR             count the engine program's system calls (slows it down)
//   bench_pull --scale 1000             also 1000 accounts of 20 messages pulled once by one engine
//   bench_pull --schedule 8             also 4000 accounts kept on a 2-minute interval for 8 minutes
//   bench_pull --schedule-accounts N --interval M   that run with N accounts and M minutes
//   bench_pull --login-per-process      Dovecot as installed: two new processes for every login
//                                       (by default its processes are reused, as a busy server is
//                                       set up; this bounds the scale and schedule runs)
//
// The modes ews, ewss, webdav and webdavs pull the same messages from the
// fake Exchange servers of the tests (HTTP and HTTPS, NTLM), each run in a
// process of its own (bench/support/ExchangeServers.h); no peer speaks them.
//
// The rows "ours" run the pull job in a process of its own; the rows "engine"
// start the engine program, hand the account in with RunNow over the control
// socket and stop the clock when its uidl.txt lists every message.
#include "bench/support/EngineRuns.h"
#include "bench/support/ExchangeServers.h"
#include "bench/support/Measure.h"
#include "bench/support/Peers.h"
#include "bench/support/ProxyRoutes.h"
#include "engine/PullJob.h"
#include "exchange/ExchangeProtocols.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/support/Dovecot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

using namespace tarnwick;
using namespace tarnwick::bench;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kLimitSeconds = 600;

// The output folders of every run, removed when the benchmark ends rather
// than right before the next run.
std::unique_ptr<OutputFolders> g_outputs;

struct Mode {
  const char* name;
  bool imap;
  bool tls;
  int32_t exchange = 0;  // 2 EWS, 3 WebDAV: from the fake Exchange servers
};
constexpr Mode kModes[] = {{"pop3", false, false},  {"pop3s", false, true},
                           {"imap", true, false},   {"imaps", true, true},
                           {"ews", false, false, ExchangeEws},       {"ewss", false, true, ExchangeEws},
                           {"webdav", false, false, ExchangeWebDav}, {"webdavs", false, true, ExchangeWebDav}};

// The Exchange server of the row being measured; its Server setting goes
// to the engine's runs of exchange modes.
std::unique_ptr<ExchangeServer> g_exchange;
int32_t g_exchangeProtocol = 0;

struct Mailbox {
  std::string label;
  std::string user;
  int count = 0;
  std::size_t size = 0;
  std::size_t bytes = 0;    // total as stored
  std::size_t largest = 0;  // largest message
};

bool g_oneDate = false;
// The proxy the engine's next run goes through; none for a direct run.
const ProxyRoute* g_route = nullptr;
bool g_proxies = true;
// Where the engine program rows write strace's count of system calls (--strace).
std::string g_straceFolder;

// A plain-text message of about size bytes: headers, then 76-character
// lines, every tenth starting with a dot so that the server stuffs it.
std::string MakeMessage(int n, std::size_t size) {
  const int minute = g_oneDate ? 10 : 10 + n % 50;
  std::string m = "Date: Wed, 31 Jan 2024 10:" + std::to_string(minute) + ":30 +0000\r\n"
                  "From: Sender <sender" + std::to_string(n) + "@remote.example>\r\n"
                  "To: ann@local.dom\r\nSubject: bench message " + std::to_string(n) + "\r\n"
                  "Message-ID: <" + std::to_string(n) + "@remote.example>\r\n\r\n";
  m.reserve(size + 80);
  int line = 0;
  while (m.size() < size) {
    std::string text(74, static_cast<char>('a' + line % 26));
    if (line % 10 == 0) text[0] = '.';
    m += text + "\r\n";
    ++line;
  }
  return m;
}

Endpoint EndpointFor(const test::Dovecot& dovecot, const Mailbox& box, const Mode& mode) {
  Endpoint e;
  e.imap = mode.imap;
  e.tls = mode.tls;
  e.port = mode.imap ? (mode.tls ? dovecot.imaps_port() : dovecot.imap_port())
                     : (mode.tls ? dovecot.pop3s_port() : dovecot.pop3_port());
  e.user = box.user;
  e.password = "pw";
  e.certificate = dovecot.dir() + "/cert.pem";
  return e;
}

// What the engine's run reports back from its process.
struct EngineReport {
  int ok = 0;
  double list = 0, fetch = 0, deliver = 0;  // phase seconds
  char error[240] = {};
};

struct Row {
  std::string mailbox;
  std::string mode;
  std::string program;
  Usage usage;
  std::size_t files = 0;
  int expected = 0;
  double megabytes = 0;
  std::string note;
  EngineReport engine;  // the engine's rows only
};

// The pull job over the endpoint, in this (forked) process. Phase times come
// from the progress texts: the list runs from "Retrieving" to
// "Synchronizing", a download from the first "Receiving" text to
// "Forwarding", a delivery (queue file and id) from "Forwarding" to the
// next text that is not a download's.
bool g_protocolLog = false;
std::size_t g_groupMessages = PullOptions().groupMessages;

int RunEngineHere(const Endpoint& e, const std::string& dir, std::string& payload) {
  AccountSession account;
  if (g_exchangeProtocol) {
    account.server.Protocol = g_exchangeProtocol;
    account.server.Server = g_exchange->server();
    account.server.User = ExchangeServer::User();
    account.server.Password = ExchangeServer::Password();
    account.server.LocalUser = "ann";
    account.server.LocalDomain = "local.dom";
    account.label = std::string(g_exchangeProtocol == ExchangeEws ? "EWS: " : "WebDAV: ") + account.server.Server +
                    "#" + account.server.User;
  } else {
  account.server.Server = "127.0.0.1";
  account.server.Port = e.port;
  account.server.Protocol = e.imap ? Imap4 : Pop3;
  account.server.SSLConnection = e.tls;
  account.server.SSLType = e.tls ? ConnectSSL : ConnectSSLAuto;
  account.server.User = e.user;
  account.server.Password = e.password;
  account.server.LocalUser = "ann";
  account.server.LocalDomain = "local.dom";
  if (g_route) {
    account.server.SocksProxyServer = "127.0.0.1";
    account.server.SocksProxyPort = g_route->port;
    account.server.ProxyProtocol = g_route->protocol;
  }
  account.label = std::string(e.imap ? "IMAP4: " : "POP3:") + "127.0.0.1#" + e.user;
  }
  account.workFolder = JoinPath(dir, "work");
  if (g_protocolLog) {
    // Protocol logs are written only inside the application folder's log/.
    MakeFolders(JoinPath(ApplicationFolder(), "log"));
    account.logFileName = "bench-" + std::to_string(getpid()) + ".log";
  }
  PullOptions options;
  options.queueFolder = JoinPath(dir, "queue");
  options.dataFolder = JoinPath(dir, "data");
  options.groupMessages = g_groupMessages;

  EngineReport report;
  Steady::time_point mark = Steady::now();
  enum { kNone, kList, kFetch, kDeliver } state = kNone;
  auto progress = [&](const std::string&, const std::string& text) {
    const Steady::time_point now = Steady::now();
    auto close = [&] {
      const double s = std::chrono::duration<double>(now - mark).count();
      if (state == kList) report.list += s;
      if (state == kFetch) report.fetch += s;
      if (state == kDeliver) report.deliver += s;
      state = kNone;
      mark = now;
    };
    if (text.rfind("Receiving email", 0) == 0) {
      if (state != kFetch) {
        close();
        state = kFetch;
      }
    } else if (text.rfind("Retrieving mail list", 0) == 0) {
      close();
      state = kList;
    } else if (text.rfind("Forwarding email", 0) == 0) {
      close();
      state = kDeliver;
    } else {
      close();
    }
  };

  PullJob job(options);
  AccountRunResult r = job.Run(account, progress);
  report.ok = r.ok ? 1 : 0;
  std::snprintf(report.error, sizeof report.error, "%s", r.lastError.c_str());
  payload.assign(reinterpret_cast<const char*>(&report), sizeof report);
  return r.ok ? 0 : 1;
}

Row RunEngine(const Endpoint& e) {
  Row row;
  row.program = "ours";
  const std::string dir = g_outputs->New();
  for (const char* sub : {"queue", "work", "data"}) MakeFolders(JoinPath(dir, sub));
  std::string payload;
  row.usage = RunForked([&](std::string& out) { return RunEngineHere(e, dir, out); }, payload, kLimitSeconds);
  if (payload.size() == sizeof(EngineReport)) std::memcpy(&row.engine, payload.data(), sizeof row.engine);
  row.files = ListFiles(JoinPath(dir, "queue")).size();
  if (!row.engine.ok) row.note = row.engine.error;
  FlushDisks();
  return row;
}

Row RunEngineProgramRow(const Endpoint& e, int expected) {
  std::string strace;
  if (!g_straceFolder.empty())
    strace = g_straceFolder + "/" + (e.imap ? (e.tls ? "imaps" : "imap") : (e.tls ? "pop3s" : "pop3")) + "-" +
             std::to_string(expected) + ".txt";
  EngineProgramResult p = RunEngineProgram(e, g_outputs->New(), expected, kLimitSeconds, strace);
  Row row;
  row.program = "engine";
  row.usage = p.usage;
  row.files = p.files;
  row.note = p.note;
  row.engine.ok = p.usage.finished ? 1 : 0;
  FlushDisks();
  return row;
}

Row RunPeerRow(const std::string& name, const Endpoint& e) {
  PeerResult p = RunPeer(name, e, g_outputs->New(), kLimitSeconds);
  Row row;
  row.program = name;
  row.usage = p.usage;
  row.files = p.files;
  if (!p.usage.finished || p.usage.exitStatus != 0) {
    std::string tail = p.logTail;
    std::replace(tail.begin(), tail.end(), '\n', ' ');
    row.note = "exit " + std::to_string(p.usage.exitStatus) + ": " + tail.substr(tail.size() > 160 ? tail.size() - 160 : 0);
  }
  return row;
}

// The row whose wall time is the median of the runs.
Row Median(std::vector<Row> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const Row& a, const Row& b) { return a.usage.wallSeconds < b.usage.wallSeconds; });
  return runs[runs.size() / 2];
}

void PrintRow(const Row& r) {
  const double wall = r.usage.wallSeconds > 0 ? r.usage.wallSeconds : 1e-9;
  std::printf("%-9s %-6s %-10s %8.2f %9.0f %8.1f %7.2f %8.1f %6zu/%-6d %s\n", r.mailbox.c_str(), r.mode.c_str(),
              r.program.c_str(), wall, r.expected / wall, r.megabytes / wall, r.usage.cpuSeconds,
              static_cast<double>(r.usage.peakRssKb) / 1024.0, r.files, r.expected, r.note.c_str());
  std::fflush(stdout);
}

void PrintHeader() {
  std::printf("%-9s %-6s %-10s %8s %9s %8s %7s %8s %13s\n", "mailbox", "mode", "program", "wall s", "msg/s",
              "MB/s", "CPU s", "RSS MB", "files");
}

struct Options {
  std::vector<Mailbox> boxes;
  std::vector<Mode> modes;
  int runs = 1;
  bool peers = true;
  bool program = true;
  int scale = 0;              // accounts of the scale run, 0: none
  int scheduleMinutes = 0;    // length of the schedule run, 0: none
  int scheduleAccounts = 4000;
  int interval = 2;
  bool serverProcessReuse = true;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  std::string set = "all";
  int count = 0;
  std::size_t size = 0;
  std::string modes = "pop3,pop3s,imap,imaps,ews,ewss,webdav,webdavs";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--set") set = next();
    else if (a == "--count") count = std::atoi(next().c_str());
    else if (a == "--size") size = static_cast<std::size_t>(std::atol(next().c_str()));
    else if (a == "--modes") modes = next();
    else if (a == "--runs") o.runs = std::max(1, std::atoi(next().c_str()));
    else if (a == "--no-peers") o.peers = false;
    else if (a == "--log") g_protocolLog = true;
    else if (a == "--one-date") g_oneDate = true;
    else if (a == "--no-proxies") g_proxies = false;
    else if (a == "--login-per-process") o.serverProcessReuse = false;
    else if (a == "--no-program") o.program = false;
    else if (a == "--strace") g_straceFolder = next();
    else if (a == "--scale") o.scale = std::clamp(std::atoi(next().c_str()), 0, 10000);
    else if (a == "--schedule") o.scheduleMinutes = std::clamp(std::atoi(next().c_str()), 0, 60);
    else if (a == "--schedule-accounts") o.scheduleAccounts = std::clamp(std::atoi(next().c_str()), 1, 20000);
    else if (a == "--interval") o.interval = std::clamp(std::atoi(next().c_str()), 1, 30);
    else if (a == "--group") g_groupMessages = static_cast<std::size_t>(std::max(1, std::atoi(next().c_str())));
    else return false;
  }
  if (count > 0 && size > 0) {
    o.boxes.push_back({std::to_string(count) + "x" + std::to_string(size), "benchc", count, size});
  } else {
    if (set == "all" || set == "10k") o.boxes.push_back({"2000x10KB", "bench10k", 2000, 10 * 1024});
    if (set == "all" || set == "1m") o.boxes.push_back({"200x1MB", "bench1m", 200, 1024 * 1024});
  }
  for (const Mode& m : kModes)
    if (("," + modes + ",").find(std::string(",") + m.name + ",") != std::string::npos) o.modes.push_back(m);
  if (set == "none") o.boxes.clear();
  return (!o.boxes.empty() && !o.modes.empty()) || o.scale > 0 || o.scheduleMinutes > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: bench_pull [--set 10k|1m|all] [--count N --size BYTES] "
                 "[--modes pop3,pop3s,imap,imaps,ews,ewss,webdav,webdavs] [--runs N] [--no-peers] [--no-program] [--log] [--group N] [--one-date] [--no-proxies] "
                 "[--scale ACCOUNTS] [--schedule MINUTES [--schedule-accounts N] [--interval MINUTES]] "
                 "[--login-per-process]\n");
    return 2;
  }
  RegisterExchangeProtocols();
  test::Dovecot dovecot;
  if (options.serverProcessReuse) dovecot.ServeManyLogins();
  std::string error;
  if (!dovecot.Start(&error)) {
    std::fprintf(stderr, "Dovecot did not start: %s\n", error.c_str());
    return 1;
  }

  ProxyRoutes proxies;
  if (g_proxies) {
    std::string notes;
    proxies.Start(notes);
    if (!notes.empty()) std::fprintf(stderr, "%s", notes.c_str());
  }

  g_outputs = std::make_unique<OutputFolders>();
  std::vector<Row> rows;
  PrintHeader();
  for (Mailbox& box : options.boxes) {
    dovecot.AddUser(box.user, "pw");
    for (int i = 0; i < box.count; ++i) {
      std::string m = MakeMessage(i, box.size);
      box.bytes += m.size();
      box.largest = std::max(box.largest, m.size());
      dovecot.AddMessage(box.user, m);
    }
    FlushDisks();
    const double mb = static_cast<double>(box.bytes) / (1024.0 * 1024.0);
    // One pull per protocol first, so that every measured run finds the
    // server's indexes built and the mailbox in the page cache.
    for (bool imap : {false, true}) RunEngine(EndpointFor(dovecot, box, {"warm", imap, false}));

    for (const Mode& mode : options.modes) {
      const Endpoint e = EndpointFor(dovecot, box, mode);
      std::vector<std::string> programs = {"ours"};
      g_exchangeProtocol = mode.exchange;
      if (mode.exchange) {
        if (!g_exchange) g_exchange = std::make_unique<ExchangeServer>();
        const std::size_t size = box.size;
        if (!g_exchange->Start(mode.exchange, mode.tls, box.count, [size](int i) { return MakeMessage(i, size); },
                               &error)) {
          std::fprintf(stderr, "%s: %s\n", mode.name, error.c_str());
          continue;
        }
      }
      if (options.program && !mode.exchange) programs.push_back("engine");
      if (options.peers && !mode.exchange)
        for (const std::string& p : PeersFor(e)) programs.push_back(p);
      for (const std::string& program : programs) {
        std::vector<Row> runs;
        for (int r = 0; r < options.runs; ++r)
          runs.push_back(program == "ours"     ? RunEngine(e)
                         : program == "engine" ? RunEngineProgramRow(e, box.count)
                                               : RunPeerRow(program, e));
        Row row = Median(std::move(runs));
        row.mailbox = box.label;
        row.mode = mode.name;
        row.expected = box.count;
        row.megabytes = mb;
        PrintRow(row);
        rows.push_back(std::move(row));
      }
      if (g_exchange) g_exchange->Stop();
      // The same pull through each proxy (the 10 KB mailbox, no TLS).
      if (box.user == "bench10k" && !mode.tls && !mode.exchange) {
        for (const ProxyRoute& route : proxies.routes()) {
          g_route = &route;
          std::vector<Row> runs;
          for (int r = 0; r < options.runs; ++r) runs.push_back(RunEngine(e));
          g_route = nullptr;
          Row row = Median(std::move(runs));
          row.program = route.name;
          row.mailbox = box.label;
          row.mode = mode.name;
          row.expected = box.count;
          row.megabytes = mb;
          PrintRow(row);
          rows.push_back(std::move(row));
        }
      }
    }
  }

  // Through a proxy against the direct run of the same mailbox and mode.
  bool anyProxied = false;
  for (const Row& p : rows) {
    if (p.program.rfind("ours+", 0) != 0) continue;
    for (const Row& d : rows) {
      if (d.program != "ours" || d.mailbox != p.mailbox || d.mode != p.mode || d.usage.wallSeconds <= 0) continue;
      if (!anyProxied) std::printf("\nthrough a proxy / direct (wall time; CPU of the engine)\n");
      anyProxied = true;
      std::printf("%-9s %-6s %-10s %6.2f   CPU %.2f s / %.2f s\n", p.mailbox.c_str(), p.mode.c_str(),
                  p.program.c_str(), p.usage.wallSeconds / d.usage.wallSeconds, p.usage.cpuSeconds,
                  d.usage.cpuSeconds);
    }
  }

  // Where the engine's time goes, per message.
  std::printf("\nengine, per message (ms): list / download / deliver+record / other\n");
  for (const Row& r : rows) {
    if (r.program != "ours") continue;
    const double n = r.expected;
    const EngineReport& e = r.engine;
    std::printf("%-9s %-6s %7.3f %9.3f %9.3f %9.3f\n", r.mailbox.c_str(), r.mode.c_str(), e.list * 1000 / n,
                e.fetch * 1000 / n, e.deliver * 1000 / n,
                (r.usage.wallSeconds - e.list - e.fetch - e.deliver) * 1000 / n);
  }

  // Wall time of the engine against each peer, and the goals: the pull job
  // alone ("ours") and the engine program from the moment the account is
  // queued ("engine"), each at most half of the fastest peer's wall time.
  std::printf("\nratios ours/peer and engine/peer (wall time; below 1 is faster)\n");
  bool allMet = true;
  for (const Mailbox& box : options.boxes) {
    for (const Mode& mode : options.modes) {
      for (const char* program : {"ours", "engine"}) {
        const Row* ours = nullptr;
        for (const Row& r : rows)
          if (r.mailbox == box.label && r.mode == mode.name && r.program == program) ours = &r;
        if (!ours) continue;
        double fastestPop = 0, mbsync = 0;
        std::string line;
        for (const Row& r : rows) {
          if (r.mailbox != box.label || r.mode != mode.name || r.program == "ours" || r.program == "engine") continue;
          if (r.program.rfind("ours+", 0) == 0) continue;  // through a proxy: compared above
          if (r.files != static_cast<std::size_t>(r.expected)) continue;  // an incomplete run is no measure
          char piece[64];
          std::snprintf(piece, sizeof piece, "  %s %.2f", r.program.c_str(), ours->usage.wallSeconds / r.usage.wallSeconds);
          line += piece;
          if (r.program == "mbsync") mbsync = r.usage.wallSeconds;
          else if (!mode.imap && (fastestPop == 0 || r.usage.wallSeconds < fastestPop)) fastestPop = r.usage.wallSeconds;
        }
        std::string goal;
        bool met = ours->engine.ok && ours->files == static_cast<std::size_t>(box.count);
        if (!mode.imap && fastestPop > 0) {
          goal = "goal: at most half the fastest peer";
          met = met && ours->usage.wallSeconds * 2 <= fastestPop;
        } else if (mode.imap && mbsync > 0) {
          goal = "goal: at most half of mbsync";
          met = met && ours->usage.wallSeconds * 2 <= mbsync;
        }
        if (mode.exchange) {
          // The engine's CPU per message at most twice that of IMAP4 over TLS.
          for (const Row& r : rows) {
            if (r.mailbox != box.label || r.mode != "imaps" || r.program != "ours") continue;
            goal = "goal: CPU at most twice imaps (" +
                   std::to_string(ours->usage.cpuSeconds / r.usage.cpuSeconds).substr(0, 4) + "x)";
            met = met && ours->usage.cpuSeconds <= 2 * r.usage.cpuSeconds;
          }
        }
        // Exchange: the Base64 reply and the decoded message coexist briefly.
        const long rssGoalKb = 16 * 1024 + static_cast<long>((mode.exchange ? 3 : 2) * box.largest / 1024);
        const bool rssMet = ours->usage.peakRssKb <= rssGoalKb;
        allMet = allMet && met && rssMet;
        std::printf("%-9s %-6s %-6s%s   %s%s; RSS %s (%.1f MB of %.1f)\n", box.label.c_str(), mode.name, program,
                    line.c_str(), goal.c_str(), goal.empty() ? "" : (met ? " met" : " NOT met"),
                    rssMet ? "ok" : "over", static_cast<double>(ours->usage.peakRssKb) / 1024.0,
                    static_cast<double>(rssGoalKb) / 1024.0);
      }
    }
  }
  if (!rows.empty()) std::printf("%s\n", allMet ? "all goals met" : "some goals not met");

  // The runs of many accounts on one engine program, when asked for.
  if (options.scale > 0) ScaleRun(dovecot, g_outputs->New(), options.scale, 20, kLimitSeconds);
  if (options.scheduleMinutes > 0)
    ScheduleRun(dovecot, g_outputs->New(), options.scheduleAccounts, options.interval, options.scheduleMinutes);
  g_outputs.reset();
  return 0;
}
