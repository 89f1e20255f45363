// Pull throughput over POP3: fills a private Dovecot mailbox with N messages,
// runs the engine's pull job over it into a queue folder, and prints wall
// seconds, messages/s, MB/s, CPU seconds and peak RSS, with the time split
// into listing, download and delivery. Other pull programs found on the
// PATH (fetchmail, getmail) are timed over the same mailbox for comparison.
//
//   bench_pop3_pull                  2000 messages of ~10 KB, then 200 of ~1 MB
//   bench_pop3_pull 500 10240        one run: 500 messages of ~10 KB
#include "engine/PullJob.h"
#include "platform/Files.h"
#include "tests/support/Dovecot.h"
#include "tests/support/TempDir.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace tarnwick;
using Steady = std::chrono::steady_clock;

namespace {

double Seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// A plain-text message of about size bytes: headers, then 76-character
// lines, every tenth starting with a dot so that the server stuffs it.
std::string MakeMessage(int n, std::size_t size) {
  std::string m = "Date: Wed, 31 Jan 2024 10:" + std::to_string(10 + n % 50) + ":30 +0000\r\n"
                  "From: Sender <sender" + std::to_string(n) + "@remote.example>\r\n"
                  "To: ann@local.dom\r\nSubject: bench message " + std::to_string(n) + "\r\n"
                  "Message-ID: <" + std::to_string(n) + "@remote.example>\r\n\r\n";
  int line = 0;
  while (m.size() < size) {
    std::string text(74, static_cast<char>('a' + line % 26));
    if (line % 10 == 0) text[0] = '.';
    m += text + "\r\n";
    ++line;
  }
  return m;
}

bool HaveProgram(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

struct Phases {
  double list = 0, fetch = 0, deliver = 0;
};

void RunEngine(test::Dovecot& dovecot, const std::string& user, int count, std::size_t size) {
  test::TempDir dir;
  MakeFolders(dir / "queue");
  MakeFolders(dir / "work");
  MakeFolders(dir / "data");

  AccountSession account;
  account.server.Server = "127.0.0.1";
  account.server.Port = dovecot.pop3_port();
  account.server.User = user;
  account.server.Password = "pw";
  account.server.LocalUser = "ann";
  account.server.LocalDomain = "local.dom";
  account.label = "POP3:127.0.0.1#" + user;
  account.workFolder = dir / "work";
  PullOptions options;
  options.queueFolder = dir / "queue";
  options.dataFolder = dir / "data";

  // Phase times from the progress texts: the list runs from "Retrieving"
  // to "Synchronizing", a download from "Receiving ... Size:0/" to
  // "Forwarding", a delivery (queue file and id) from "Forwarding" to the
  // next text that is not a download's.
  Phases phases;
  Steady::time_point mark = Steady::now();
  enum { kNone, kList, kFetch, kDeliver } state = kNone;
  auto progress = [&](const std::string&, const std::string& text) {
    const Steady::time_point now = Steady::now();
    auto close = [&] {
      if (state == kList) phases.list += Seconds(now - mark);
      if (state == kFetch) phases.fetch += Seconds(now - mark);
      if (state == kDeliver) phases.deliver += Seconds(now - mark);
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
  const double cpu0 = CpuSeconds();
  const Steady::time_point t0 = Steady::now();
  AccountRunResult r = job.Run(account, progress);
  const double wall = Seconds(Steady::now() - t0);
  const double cpu = CpuSeconds() - cpu0;

  const std::size_t files = ListFiles(dir / "queue").size();
  const double mb = static_cast<double>(count) * static_cast<double>(size) / (1024.0 * 1024.0);
  std::printf("engine   %5d x %8zu B: %s, %zu queue files\n", count, size, r.ok ? "ok" : r.lastError.c_str(), files);
  std::printf("         wall %.2f s, %.1f messages/s, %.1f MB/s, CPU %.2f s, peak RSS %ld KB\n", wall,
              count / wall, mb / wall, cpu, PeakRssKb());
  std::printf("         per message: list %.3f ms, download %.3f ms, deliver %.3f ms, other %.3f ms\n",
              phases.list * 1000 / count, phases.fetch * 1000 / count, phases.deliver * 1000 / count,
              (wall - phases.list - phases.fetch - phases.deliver) * 1000 / count);
}

void RunFetchmail(test::Dovecot& dovecot, const std::string& user, int count) {
  test::TempDir dir;
  MakeFolders(dir / "out");
  std::string rc = "set no bouncemail\npoll 127.0.0.1 service " + std::to_string(dovecot.pop3_port()) +
                   " protocol pop3 uidl:\n  user \"" + user +
                   "\" password \"pw\" keep fetchall mda \"/bin/sh -c 'cat > " + dir.path() +
                   "/out/$$.eml'\"\n";
  WriteWholeFile(dir / "fetchmailrc", rc);
  std::string cmd = "chmod 600 " + (dir / "fetchmailrc") + " && FETCHMAILHOME=" + dir.path() +
                    " fetchmail -f " + (dir / "fetchmailrc") + " --nosyslog -s >/dev/null 2>&1";
  const Steady::time_point t0 = Steady::now();
  int rc2 = std::system(cmd.c_str());
  const double wall = Seconds(Steady::now() - t0);
  std::printf("fetchmail %d messages: exit %d, %zu files, wall %.2f s, %.1f messages/s\n", count, rc2,
              ListFiles(dir / "out").size(), wall, count / wall);
}

void RunGetmail(test::Dovecot& dovecot, const std::string& user, int count, const char* program) {
  test::TempDir dir;
  for (const char* sub : {"md/cur", "md/new", "md/tmp"}) MakeFolders(dir / sub);
  std::string rc = "[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = " +
                   std::to_string(dovecot.pop3_port()) + "\nusername = " + user +
                   "\npassword = pw\n[destination]\ntype = Maildir\npath = " + dir.path() +
                   "/md/\n[options]\nread_all = true\ndelete = false\n";
  WriteWholeFile(dir / "getmailrc", rc);
  std::string cmd = std::string(program) + " --getmaildir=" + dir.path() + " -r " + (dir / "getmailrc") +
                    " >/dev/null 2>&1";
  const Steady::time_point t0 = Steady::now();
  int rc2 = std::system(cmd.c_str());
  const double wall = Seconds(Steady::now() - t0);
  std::printf("%s %d messages: exit %d, %zu files, wall %.2f s, %.1f messages/s\n", program, count, rc2,
              ListFiles(dir / "md/new").size(), wall, count / wall);
}

void RunSet(test::Dovecot& dovecot, int set, int count, std::size_t size) {
  const std::string user = "bench" + std::to_string(set);
  dovecot.AddUser(user, "pw");
  const Steady::time_point t0 = Steady::now();
  for (int i = 0; i < count; ++i) dovecot.AddMessage(user, MakeMessage(i, size));
  std::printf("filled %d messages of ~%zu bytes in %.1f s\n", count, size, Seconds(Steady::now() - t0));
  RunEngine(dovecot, user, count, size);
  if (HaveProgram("fetchmail")) RunFetchmail(dovecot, user, count);
  for (const char* g : {"getmail", "getmail6"})
    if (HaveProgram(g)) {
      RunGetmail(dovecot, user, count, g);
      break;
    }
}

}  // namespace

int main(int argc, char** argv) {
  test::Dovecot dovecot;
  std::string error;
  if (!dovecot.Start(&error)) {
    std::fprintf(stderr, "Dovecot did not start: %s\n", error.c_str());
    return 1;
  }
  if (argc >= 3) {
    RunSet(dovecot, 0, std::atoi(argv[1]), static_cast<std::size_t>(std::atol(argv[2])));
  } else {
    RunSet(dovecot, 1, 2000, 10 * 1024);
    RunSet(dovecot, 2, 200, 1024 * 1024);
  }
  return 0;
}
