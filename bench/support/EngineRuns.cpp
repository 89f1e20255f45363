#include "bench/support/EngineRuns.h"

#include "bench/support/EngineProgram.h"
#include "platform/Files.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace tarnwick::bench {

namespace {

using Steady = std::chrono::steady_clock;

long FileSize(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

double Since(Steady::time_point t) { return std::chrono::duration<double>(Steady::now() - t).count(); }

std::string Account(const std::string& name, int port, bool imap, bool tls, const std::string& user,
                     const std::string& extra) {
  return "BEGIN:" + name + "\r\nServer:127.0.0.1\r\nPort:" + std::to_string(port) + "\r\nUser:" + user +
         "\r\nPassword:pw\r\nProtocol:" + (imap ? "1" : "0") + "\r\nSSLConnection:" + (tls ? "1" : "0") +
         "\r\nLocalUser:ann\r\nLocalDomain:local.dom\r\n" + extra + "END:" + name + "\r\n";
}

std::string SmallMessage(const std::string& subject) {
  std::string m = "Date: Wed, 31 Jan 2024 10:20:30 +0000\r\nFrom: <s@remote.example>\r\nTo: ann@local.dom\r\n"
                  "Subject: " + subject + "\r\nMessage-ID: <" + subject + "@remote.example>\r\n\r\n";
  while (m.size() < 1024) m += std::string(74, 'x') + "\r\n";
  return m;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// The idle engine's configuration: no account yet, 64 workers, no log.
const std::string kEmptyMailPull = "BEGIN:mailpull\r\nMaxThread:64\r\nLogLevel:0\r\nEND:mailpull\r\n";

}  // namespace

EngineProgramResult RunEngineProgram(const Endpoint& e, const std::string& root, int expected, int limitSeconds,
                                     const std::string& straceOutput) {
  EngineProgramResult r;
  EngineProgram engine(root, "BEGIN:mailpull\r\nMaxThread:20\r\nLogLevel:0\r\nEND:mailpull\r\n");
  if (!engine.WaitReady(20000)) {
    r.note = "the engine did not start";
    return r;
  }
  // The system calls of the run, counted by strace attached to the engine
  // (which slows it down: such a run's times are no measure).
  std::unique_ptr<test::ChildProcess> strace;
  if (!straceOutput.empty()) {
    strace = std::make_unique<test::ChildProcess>(
        "/usr/bin/strace", std::vector<std::string>{"strace", "-f", "-c", "-o", straceOutput, "-p",
                                                    std::to_string(engine.Pid())},
        std::vector<std::string>{});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const double cpu0 = engine.CpuSeconds();
  const std::string work = engine.WorkFolder("bench");
  const Steady::time_point t0 = Steady::now();
  if (!engine.RunNow(Account("bench", e.port, e.imap, e.tls, e.user, ""))) {
    r.note = "RunNow refused";
    return r;
  }
  // The id file is rewritten whole after each group; it is read again only
  // when its size changes.
  long lastSize = -1;
  while (Since(t0) < limitSeconds && engine.Running()) {
    long size = FileSize(work + "/uidl.txt");
    if (size != lastSize) {
      lastSize = size;
      if (UidlLines(work) >= static_cast<std::size_t>(expected)) {
        r.usage.finished = true;
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  r.usage.wallSeconds = Since(t0);
  r.usage.cpuSeconds = engine.CpuSeconds() - cpu0;
  r.usage.peakRssKb = engine.PeakRssKb();
  r.usage.exitStatus = r.usage.finished ? 0 : 1;
  if (strace) {
    ::kill(strace->pid(), SIGINT);
    strace->WaitExit(10000);
  }
  r.files = ListFiles(engine.QueueFolder()).size();
  if (!r.usage.finished) r.note = "not every id recorded in time";
  engine.Kill();
  return r;
}

void ScaleRun(test::Dovecot& dovecot, const std::string& root, int accounts, int messages, int limitSeconds) {
  std::printf("\nscale: %d accounts of %d messages, MaxThread 64, one engine program\n", accounts, messages);
  std::string blocks;
  for (int i = 0; i < accounts; ++i) {
    const std::string user = "scale" + std::to_string(i);
    dovecot.AddUser(user, "pw");
    for (int m = 0; m < messages; ++m) dovecot.AddMessage(user, SmallMessage(user + "-" + std::to_string(m)));
    blocks += Account("a" + std::to_string(i), dovecot.pop3_port(), false, false, user,
                      "Active:1\r\nDownloadInterval:1440\r\nStartTime:0\r\n");
  }
  FlushDisks();
  EngineProgram engine(root, kEmptyMailPull);
  if (!engine.WaitReady(20000)) {
    std::printf("scale: the engine did not start\n");
    return;
  }
  const double cpu0 = engine.CpuSeconds();
  const Steady::time_point t0 = Steady::now();
  if (!engine.PutConfig("config/mailpull", "BEGIN:mailpull\r\nMaxThread:64\r\nLogLevel:0\r\n" + blocks +
                                               "END:mailpull\r\n")) {
    std::printf("scale: PutConfig refused\n");
    return;
  }
  std::set<int> pending;
  for (int i = 0; i < accounts; ++i) pending.insert(i);
  while (!pending.empty() && Since(t0) < limitSeconds && engine.Running()) {
    for (auto it = pending.begin(); it != pending.end();) {
      if (UidlLines(engine.WorkFolder("a" + std::to_string(*it))) >= static_cast<std::size_t>(messages))
        it = pending.erase(it);
      else
        ++it;
    }
    if (!pending.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double wall = Since(t0);
  const double cpu = engine.CpuSeconds() - cpu0;
  std::printf("scale: %d of %d accounts complete in %.2f s (%.0f accounts/s, %.0f msg/s); engine CPU %.2f s "
              "(%.2f ms per account); peak RSS %.1f MB; %zu files in the queue\n",
              accounts - static_cast<int>(pending.size()), accounts, wall, accounts / wall,
              accounts * static_cast<double>(messages) / wall, cpu, cpu * 1000 / accounts,
              static_cast<double>(engine.PeakRssKb()) / 1024.0, ListFiles(engine.QueueFolder()).size());
  std::fflush(stdout);
}

void ScheduleRun(test::Dovecot& dovecot, const std::string& root, int accounts, int interval, int minutes) {
  std::printf("\nschedule: %d accounts, DownloadInterval %d, MaxThread 64, %d minutes\n", accounts, interval,
              minutes);
  std::fflush(stdout);
  std::string blocks;
  for (int i = 0; i < accounts; ++i) {
    const std::string user = "sched" + std::to_string(i);
    dovecot.AddUser(user, "pw");
    dovecot.AddMessage(user, SmallMessage(user + "-0"));
    blocks += Account("s" + std::to_string(i), dovecot.pop3_port(), false, false, user,
                      "Active:1\r\nDownloadInterval:" + std::to_string(interval) + "\r\nStartTime:0\r\n");
  }
  FlushDisks();
  const std::string logPath = dovecot.dir() + "/dovecot.log";
  const long logStart = FileSize(logPath);

  EngineProgram engine(root, kEmptyMailPull);
  if (!engine.WaitReady(20000)) {
    std::printf("schedule: the engine did not start\n");
    return;
  }
  // New mail is seen in the queue through inotify, so that its arrival time
  // is exact without listing a folder of thousands of files.
  int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ::inotify_add_watch(watch, engine.QueueFolder().c_str(), IN_CREATE | IN_MOVED_TO);

  const double cpu0 = engine.CpuSeconds();
  const Steady::time_point t0 = Steady::now();
  engine.PutConfig("config/mailpull",
                   "BEGIN:mailpull\r\nMaxThread:64\r\nLogLevel:0\r\n" + blocks + "END:mailpull\r\n");

  // New messages: four a second at random accounts, once every account has
  // delivered its first message (the start-up pass is over) and at least one
  // interval has passed, until one interval before the end.
  double feedFrom = 1e9;
  const double feedUntil = minutes * 60.0 - interval * 60.0 - 10;
  std::size_t firstPass = 0;
  std::map<std::string, double> added;  // subject -> seconds after t0
  std::vector<double> waits;
  std::mt19937 random(17);
  int next = 0;
  double nextFeed = 1e9;
  char buf[65536];
  while (Since(t0) < minutes * 60.0 && engine.Running()) {
    const double now = Since(t0);
    if (now >= nextFeed && now < feedUntil) {
      const std::string subject = "late" + std::to_string(next++);
      dovecot.AddMessage("sched" + std::to_string(random() % accounts), SmallMessage(subject));
      added[subject] = Since(t0);
      nextFeed += 0.25;
    }
    pollfd p{watch, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    ssize_t n;
    while ((n = ::read(watch, buf, sizeof buf)) > 0) {
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->len == 0 || ev->name[0] == '.') continue;
        std::string text;
        if (ReadWholeFile(engine.QueueFolder() + "/" + ev->name, text) != 0) continue;
        std::size_t s = text.find("Subject: late");
        if (s == std::string::npos) {
          if (++firstPass == static_cast<std::size_t>(accounts)) {
            feedFrom = std::max(Since(t0), interval * 60.0);
            nextFeed = feedFrom;
            std::printf("schedule: start-up pass over after %.0f s\n", Since(t0));
            std::fflush(stdout);
          }
          continue;
        }
        std::size_t e = text.find('\r', s);
        auto it = added.find(text.substr(s + 9, e - s - 9));
        if (it == added.end()) continue;
        waits.push_back(Since(t0) - it->second);
        added.erase(it);
      }
    }
  }
  const double wall = Since(t0);
  const double cpu = engine.CpuSeconds() - cpu0;
  const long rss = engine.PeakRssKb();
  engine.Kill();
  ::close(watch);
  const std::size_t lost = added.size();
  for (std::size_t i = 0; i < lost; ++i) waits.push_back(1e9);  // never arrived

  // Runs from the server's login lines ("... pop3-login: Info: Login: user=<schedN>").
  std::ifstream log(logPath);
  log.seekg(logStart);
  std::map<std::string, std::vector<int>> logins;
  std::string line;
  int dayOffset = 0, last = -1;
  while (std::getline(log, line)) {
    std::size_t u = line.find("Login: user=<sched");
    if (u == std::string::npos || line.size() < 15) continue;
    int h = 0, m = 0, s = 0;
    if (std::sscanf(line.c_str() + 7, "%d:%d:%d", &h, &m, &s) != 3) continue;
    int t = h * 3600 + m * 60 + s + dayOffset;
    if (last >= 0 && t < last - 3600) t += (dayOffset += 86400);
    last = t;
    std::size_t e = line.find('>', u);
    logins[line.substr(u + 12, e - u - 12)].push_back(t);
  }
  std::vector<double> gaps;
  std::size_t runs = 0;
  for (auto& [user, times] : logins) {
    runs += times.size();
    for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  }
  const double maxGap = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
  std::printf("schedule: %zu runs of %zu accounts in %.0f s (%.1f runs/s); gap between runs: longest %.0f s, "
              "95th percentile %.0f s (goal at most %d s)\n",
              runs, logins.size(), wall, static_cast<double>(runs) / wall, maxGap, Percentile(gaps, 0.95),
              interval * 60 + 10);
  if (feedFrom > 1e8)
    std::printf("schedule: the start-up pass (%zu of %d accounts) did not end in time: no new mail measured\n",
                firstPass, accounts);
  else
    std::printf("schedule: new mail in the queue after: 95th percentile %.1f s, longest %.1f s, %zu messages, "
                "%zu not arrived (goal at most %d s)\n",
                Percentile(waits, 0.95), waits.empty() || lost ? 0 : *std::max_element(waits.begin(), waits.end()),
                waits.size(), lost, interval * 60 + 5);
  std::printf("schedule: engine CPU %.2f s, %.2f ms per run; peak RSS %.1f MB\n", cpu,
              runs ? cpu * 1000 / static_cast<double>(runs) : 0.0, static_cast<double>(rss) / 1024.0);
  std::fflush(stdout);
}

}  // namespace tarnwick::bench
