// tarnwickctl: the administrator's command line over the Manager.
//
//   tarnwickctl status | accounts | show NAME | add NAME KEY=VALUE... |
//               set NAME KEY=VALUE... | password NAME [KEY] | remove NAME |
//               test NAME | run NAME | logs [YYYY-MM-DD] | signin NAME
//
// Every command is one entry of a table (name, help, options, action), so a
// further command is one more entry and one more function.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class Clock;

// Exit codes scripts rely on.
enum CtlExit : int {
  kCtlDone = 0,
  kCtlFailed = 1,     // the operation failed: a bad verdict, a refused value
  kCtlUsage = 2,      // the command line is wrong
  kCtlNoEngine = 3,   // no control socket, or nobody listening on it
  kCtlDenied = 4,     // no permission to use the control socket
};

// Where a run of tarnwickctl reads and writes; tests give their own.
struct CtlConsole {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool stdinIsTerminal = false;
  // Reads a secret from the terminal without echo (prompt shown there).
  std::function<std::optional<std::string>(const std::string& prompt)> readSecret;
  // Reads one line of standard input.
  std::function<std::optional<std::string>()> readLine;
  // Milliseconds between two questions for a test's verdict.
  int testPollMs = 500;
  // The clock a device sign-in waits on; the system's when null.
  Clock* clock = nullptr;

  // The process's own standard streams and terminal.
  static CtlConsole Standard();
};

// Whether a key holds a secret: "Password", "SocksProxyPassword",
// "OAuth2RefreshToken" and every key whose name ends in "Secret",
// "Password" or "Token", in any letter case.
bool IsSecretKey(std::string_view key);

// Runs one command line (args without the program name); returns the exit code.
int RunTarnwickCtl(const std::vector<std::string>& args, CtlConsole& console);

}  // namespace tarnwick
