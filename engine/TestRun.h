// Account tests: before an administrator saves an account, the control server
// starts a test of its block on a thread of its own (connect and log in, then
// check the local mailbox), and a later request fetches the one-line verdict
// by the block's name. Tests change no configuration, id store or queue.
#pragma once

#include "config/ConfigBlock.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwick {

inline constexpr std::string_view kTestOk = "Test is ok, please click Save to update your configuration.";
inline constexpr std::string_view kTestNoMailbox = "Error: Invalid varnholt local user/domain.";
inline constexpr std::string_view kTestException = "Error: Unknown Exception!";
inline constexpr std::string_view kTestUnknown = "Error: Server timeout!";

// Runs one test of an account block and returns its verdict: connect and log
// in with the block's settings (always with automatic SSL), close at once,
// then look for the local mailbox.
std::string AccountTestVerdict(const ConfigBlock& block);

// One started test. Its thread is joined when the record goes away.
struct TestRun {
  TestRun() = default;
  TestRun(const TestRun&) = delete;
  TestRun& operator=(const TestRun&) = delete;
  ~TestRun();

  ConfigBlock block;   // its name is the key of the test
  std::string result;  // written by the test thread before done is set
  bool done = false;   // guarded by the list's lock
  std::thread thread;
};

// The test-result list, in start order, guarded by the engine's tests lock.
class AccountTests {
 public:
  explicit AccountTests(std::mutex& lock) : lock_(lock) {}
  // Waits for every test still running.
  ~AccountTests();
  AccountTests(const AccountTests&) = delete;
  AccountTests& operator=(const AccountTests&) = delete;

  // Starts a test of block on a new thread and lists it. A thread that
  // cannot be started leaves nothing listed.
  void Start(ConfigBlock block);

  // The verdict of the test of that name (compared byte for byte) started
  // last: empty while it runs; its result once done, after which it is
  // forgotten; kTestUnknown when none is listed. Fetching a result while
  // more than five tests were listed also forgets every other finished one.
  std::string FetchResult(std::string_view name);

  // Tests listed, and how many of them have finished.
  std::size_t Count();
  std::size_t FinishedCount();

 private:
  std::mutex& lock_;
  std::vector<std::unique_ptr<TestRun>> runs_;
};

}  // namespace tarnwick
