// The service program: switches, registration and unit, and the monitor
// keeping a real engine running.
#include "service/ServiceModule.h"
#include "service/SvrMonitor.h"

#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

std::string Built(const char* program) {
  const char* dir = std::getenv("TARNWICK_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/programs/" + program;
}

template <class F>
bool WaitFor(F done, int ms = 20000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Ids of the running processes whose executable is path.
std::vector<int> EnginesAt(const std::string& path) {
  std::vector<int> pids;
  for (const ProcessEntry& p : FindProcessesByName("TarnwickSvr"))
    if (ProcessRunsFile(p, CanonicalPath(path))) pids.push_back(p.pid);
  return pids;
}

const std::string kAppIdKey = "AppID\\{EE07A6A7-BF1E-453C-A2F5-8E71C2FD8201}";

TEST(ServiceSwitch, Table) {
  struct Case {
    std::vector<std::string> args;
    ServiceSwitch expected;
  } cases[] = {
      {{}, ServiceSwitch::None},
      {{"/RegServer"}, ServiceSwitch::RegServer},
      {{"-service"}, ServiceSwitch::Service},
      {{"/SERVICE"}, ServiceSwitch::Service},
      {{"-UnRegServer"}, ServiceSwitch::UnregServer},
      {{"--Service"}, ServiceSwitch::Service},
      {{"x", "-Service"}, ServiceSwitch::Service},
      {{"-Service", "now"}, ServiceSwitch::None},  // the switch must come last
      {{"Service"}, ServiceSwitch::None},
      {{"-Serv"}, ServiceSwitch::None},
      {{"-Regserver "}, ServiceSwitch::None},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(ParseServiceSwitch(c.args), c.expected) << line;
  }
}

// Captures the module's messages; thread-safe, for a module running on
// another thread.
struct Messages {
  std::mutex m;
  std::vector<std::string> lines;
  void Attach(CServiceModule& module) {
    module.LogSink = [this](const std::string& s) {
      std::lock_guard<std::mutex> g(m);
      lines.push_back(s);
    };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> g(m);
    return lines;
  }
  int Count(const std::string& text) {
    int n = 0;
    for (const auto& l : Get()) n += l == text;
    return n;
  }
};

// The main loop's waits on a clock of the test's own: each wait takes a
// few real milliseconds and is recorded with the time it stood for.
class FakeWaits : public ServiceWaits {
 public:
  int64_t NowMs() override { return now_.load(); }
  ControlSignal Wait(int64_t ms) override {
    {
      std::lock_guard<std::mutex> g(m_);
      waits_.push_back(ms);
    }
    for (int i = 0; i < 3; ++i) {
      if (stop_.load()) return ControlSignal::Stop;
      if (unknown_.exchange(false)) return ControlSignal::Unknown;
      std::this_thread::sleep_for(2ms);
    }
    now_ += ms;
    return ControlSignal::None;
  }
  std::vector<int64_t> Waits() {
    std::lock_guard<std::mutex> g(m_);
    return waits_;
  }
  std::atomic<bool> stop_{false};
  std::atomic<bool> unknown_{false};

 private:
  std::atomic<int64_t> now_{1000000};
  std::mutex m_;
  std::vector<int64_t> waits_;
};

// Runs the main loop on a thread of its own and stops it when the test ends,
// whatever happened.
class LoopThread {
 public:
  LoopThread(CServiceModule& module, FakeWaits& waits) : waits_(waits), thread_([&] { module.Run(waits); }) {}
  ~LoopThread() { Stop(); }
  void Stop() {
    waits_.stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  FakeWaits& waits_;
  std::thread thread_;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MakeFolder(dir_ / "app", 0755), 0);
    ASSERT_EQ(MakeFolder(dir_ / "root", 0755), 0);
  }
  // An engine a failed test left behind (its service killed) goes too.
  void TearDown() override {
    for (int pid : EnginesAt(Svr())) {
      KillProcess(pid);
      WaitProcessGone(pid, 2000);
    }
  }
  // The application folder holding both programs, and the system root.
  std::string Svc() { return dir_ / "app/TarnwickSvc"; }
  std::string Svr() { return dir_ / "app/TarnwickSvr"; }
  std::string Root(const std::string& relative) { return dir_ / ("root/" + relative); }

  test::TempDir dir_;
  test::ScopedSysroot sysroot_{dir_ / "root"};
};

TEST_F(ServiceTest, RegistrationWritesAndRemovesEntriesAndUnit) {
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvc"), Svc()));
  CServiceModule module(Svc());
  const std::string unit = Root("etc/systemd/system/tarnwick.service");

  ASSERT_EQ(module.Main({"-service"}), 0);
  RegValue v;
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, kAppIdKey, "", v), 0);
  EXPECT_EQ(v.text, "TarnwickSvc");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, kAppIdKey, "LocalService", v), 0);
  EXPECT_EQ(v.text, "TarnwickSvc");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, kAppIdKey, "ServiceParameters", v), 0);
  EXPECT_EQ(v.text, "-Service");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "AppID\\TarnwickSvc.EXE", "AppID", v), 0);
  EXPECT_EQ(v.text, "{EE07A6A7-BF1E-453C-A2F5-8E71C2FD8201}");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "TypeLib\\{D7DDEC9A-68E7-490A-8A86-1C693CC17BED}\\1.0", "", v), 0);
  EXPECT_EQ(v.text, "TarnwickSvc 1.0 Type Library");

  std::string text;
  ASSERT_EQ(ReadWholeFile(unit, text), 0);
  EXPECT_NE(text.find("Description=Varnholt Tarnwick Service\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"" + Svc() + "\"\n"), std::string::npos);

  // systemd's own checker accepts the unit (ExecStart names a real program).
  std::string cmd = "systemd-analyze verify '" + unit + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = ::pclose(p);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find(unit), std::string::npos) << out;  // no complaint about our unit

  // "/RegServer" removes the installed service and the service values.
  ASSERT_EQ(module.Main({"/RegServer"}), 0);
  EXPECT_FALSE(FileExists(unit));
  EXPECT_EQ(RegReadValue(RegHive::ClassesRoot, kAppIdKey, "LocalService", v), 2);
  EXPECT_EQ(RegReadValue(RegHive::ClassesRoot, kAppIdKey, "", v), 0);

  ASSERT_EQ(module.Main({"-Service"}), 0);
  EXPECT_TRUE(FileExists(unit));
  ASSERT_EQ(module.Main({"-UnregServer"}), 0);
  EXPECT_FALSE(FileExists(unit));
  EXPECT_FALSE(RegKeyExists(RegHive::ClassesRoot, kAppIdKey));
  EXPECT_FALSE(RegKeyExists(RegHive::ClassesRoot, "AppID\\TarnwickSvc.EXE"));
  EXPECT_FALSE(RegKeyExists(RegHive::ClassesRoot, "TypeLib\\{D7DDEC9A-68E7-490A-8A86-1C693CC17BED}"));
}

TEST_F(ServiceTest, UnitThatCannotBeWrittenFailsTheRegistration) {
  // The unit's folder is a file: nothing can be created there.
  ASSERT_EQ(MakeFolders(Root("etc/systemd"), 0755), 0);
  ASSERT_EQ(WriteWholeFile(Root("etc/systemd/system"), "x"), 0);
  CServiceModule module(Svc());
  EXPECT_NE(module.Main({"-Service"}), 0);
}

TEST_F(ServiceTest, RestartsAKilledEngineOnceAndEndsItOnStop) {
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), Svr()));
  CServiceModule module(Svc());
  Messages messages;
  messages.Attach(module);
  FakeWaits waits;
  LoopThread stopper(module, waits);

  std::vector<int> first;
  ASSERT_TRUE(WaitFor([&] { return (first = EnginesAt(Svr())).size() == 1; }));
  waits.unknown_ = true;  // a control the service does not know is logged and ignored
  ASSERT_EQ(::kill(first[0], SIGKILL), 0);
  std::vector<int> second;
  ASSERT_TRUE(WaitFor([&] {
    second = EnginesAt(Svr());
    return second.size() == 1 && second[0] != first[0];
  }));
  // The restart waited 2000 ms before the new start and 3000 ms after it.
  EXPECT_TRUE(WaitFor([&] {
    auto w = waits.Waits();
    for (std::size_t i = 0; i + 1 < w.size(); ++i)
      if (w[i] == 2000 && w[i + 1] == 3000) return true;
    return false;
  }));

  stopper.Stop();
  EXPECT_TRUE(WaitFor([&] { return EnginesAt(Svr()).empty(); }, 5000));
  EXPECT_EQ(messages.Count("TarnwickSvr exit with 137"), 1);
  EXPECT_EQ(messages.Count("Service started"), 1);
  EXPECT_EQ(messages.Count("Bad service request"), 1);
  EXPECT_EQ(messages.Get().size(), 3u);  // the stop logs no exit line
}

TEST_F(ServiceTest, EndsAStaleEngineOfThisInstallationOnlyAndRetriesAMissingOne) {
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), Svr()));
  // A stale engine of this installation, and an engine of another
  // installation (another folder and system root) of the same name.
  test::TempDir other;
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), other / "TarnwickSvr"));
  test::ChildProcess stale(Svr(), {Svr(), "/s"});
  test::ChildProcess foreign(other / "TarnwickSvr", {other / "TarnwickSvr", "/s"},
                             {"TARNWICK_SYSROOT=" + other.path()});
  ASSERT_TRUE(WaitFor([&] { return EnginesAt(Svr()).size() == 1 && EnginesAt(other / "TarnwickSvr").size() == 1; }));
  // The program file was replaced since (an upgrade): still this installation's.
  ASSERT_EQ(RemoveFile(Svr()), 0);
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), Svr()));

  CServiceModule module(Svc());
  Messages messages;
  messages.Attach(module);
  CSvrMonitor monitor(module, Svr());
  monitor.StartSvr();
  EXPECT_EQ(stale.WaitExit(5000), 128 + SIGKILL);
  EXPECT_TRUE(foreign.Running());
  ASSERT_TRUE(WaitFor([&] { return EnginesAt(Svr()).size() == 1; }));
  EXPECT_EQ(EnginesAt(Svr())[0], monitor.EnginePid());
  monitor.StopSvr();
  EXPECT_TRUE(foreign.Running());
  EXPECT_TRUE(messages.Get().empty());

  // An engine that cannot be started is logged and tried again at the
  // restart pace; once it is back in place it runs.
  ASSERT_EQ(RemoveFile(Svr()), 0);
  FakeWaits waits;
  LoopThread stopper(module, waits);
  const std::string failed = "TarnwickSvr could not be started: The system cannot find the file specified.";
  ASSERT_TRUE(WaitFor([&] { return messages.Count(failed) >= 2; }));
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), Svr()));
  ASSERT_TRUE(WaitFor([&] { return EnginesAt(Svr()).size() == 1; }));
  stopper.Stop();
  EXPECT_TRUE(EnginesAt(Svr()).empty());
  auto w = waits.Waits();
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w[0], 3000);
}

// The program itself, run as a service: messages go to the system log
// socket under the system root, and SIGTERM ends it and its engine.
TEST_F(ServiceTest, ProgramLogsToSyslogAndStopsOnSigterm) {
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvr"), Svr()));
  ASSERT_TRUE(test::CopyExecutable(Built("TarnwickSvc"), Svc()));
  ASSERT_EQ(MakeFolders(Root("dev"), 0755), 0);
  int log = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(log, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string logPath = Root("dev/log");
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", logPath.c_str());
  ASSERT_EQ(::bind(log, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{10, 0};
  ::setsockopt(log, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto next = [&] {
    char buf[512];
    ssize_t n = ::recv(log, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  };

  {
    test::ChildProcess reg(Svc(), {Svc(), "-Service"});
    ASSERT_EQ(reg.WaitExit(20000), 0);
  }
  test::ChildProcess svc(Svc(), {Svc()});
  std::string started = next();
  EXPECT_EQ(started.rfind("<30>", 0), 0u) << started;  // daemon.info
  EXPECT_NE(started.find(" TarnwickSvc["), std::string::npos) << started;
  EXPECT_EQ(started.substr(started.size() - 18), "]: Service started") << started;
  ASSERT_TRUE(WaitFor([&] { return EnginesAt(Svr()).size() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return ::access(Root("run/tarnwick/{9C420762-FF33-41ad-8474-F1958652C2EF}").c_str(), F_OK) == 0; }));

  // SIGTERM is the stop control; the engine goes with the service.
  std::this_thread::sleep_for(50ms);
  std::vector<int> svcPids;
  for (const ProcessEntry& p : FindProcessesByName("TarnwickSvc"))
    if (ProcessRunsFile(p, Svc())) svcPids.push_back(p.pid);
  ASSERT_EQ(svcPids.size(), 1u);
  ASSERT_EQ(::kill(svcPids[0], SIGTERM), 0);
  EXPECT_EQ(svc.WaitExit(10000), 0);
  EXPECT_TRUE(EnginesAt(Svr()).empty());
  std::string stopped = next();
  EXPECT_NE(stopped.find("]: Service stopped"), std::string::npos) << stopped;
  tv = {0, 200000};
  ::setsockopt(log, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(next(), "");  // no "TarnwickSvr exit with" line
  ::close(log);
}

}  // namespace
}  // namespace tarnwick
