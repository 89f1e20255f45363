#include "engine/TestRun.h"

#include "engine/AccountSettings.h"
#include "engine/MailServerInterface.h"
#include "mailclient/MailClient.h"
#include "mailclient/MailServer.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <system_error>

namespace tarnwick {

namespace {

// Reads a decimal key when present; out-of-range values become fallback.
void ReadInt(const ConfigBlock& b, std::string_view key, int32_t low, int32_t high,
             int32_t fallback, int32_t& out) {
  if (const ConfigEntry* e = b.Entry(key)) {
    int32_t v = ConfigInt(e->value);
    out = (v < low || v > high) ? fallback : v;
  }
}

void ReadText(const ConfigBlock& b, std::string_view key, std::string& out) {
  if (const ConfigEntry* e = b.Entry(key)) out = e->value;
}

std::string RunTest(const ConfigBlock& block) {
  CMailServer server;  // Port 110, POP3, SOCKS5 on 1080, automatic SSL
  ReadInt(block, "AuthType", 0, 2, AuthLogin, server.AuthType);
  ReadText(block, "Password", server.Password);
  ReadInt(block, "Port", 0, INT32_MAX, 110, server.Port);
  ReadInt(block, "Protocol", 0, 3, Pop3, server.Protocol);
  ReadInt(block, "ProxyProtocol", 0, 2, Socks5, server.ProxyProtocol);
  ReadText(block, "Server", server.Server);
  ReadText(block, "SocksProxyServer", server.SocksProxyServer);
  ReadInt(block, "SocksProxyPort", 0, INT32_MAX, 1080, server.SocksProxyPort);
  ReadText(block, "SocksProxyUser", server.SocksProxyUser);
  ReadText(block, "SocksProxyPassword", server.SocksProxyPassword);
  if (const ConfigEntry* e = block.Entry("SSLConnection")) server.SSLConnection = ConfigInt(e->value) > 0;
  ReadText(block, "User", server.User);
  // The test always runs with automatic SSL: SSLType is not read.
  server.SSLType = ConnectSSLAuto;
  std::string localUser, localDomain;
  ReadText(block, "LocalUser", localUser);
  ReadText(block, "LocalDomain", localDomain);
  std::string folder = "INBOX";
  ReadText(block, "IMAP4Folder", folder);

  oauth::Settings oauth;
  ReadOAuthSettings(block, oauth, server);

  CMailClient session;
  session.FolderName = folder;
  // The test shares the account's token cache, so that a refresh token the
  // provider rotates during the test is kept for the pulls.
  if (server.OAuth2) {
    std::string work;
    if (!block.name.empty() && block.name != "." && block.name != ".." && block.name.find('/') == std::string::npos &&
        FolderExists(JoinPath(JoinPath(ApplicationFolder(), "pull"), block.name)))
      work = JoinPath(JoinPath(ApplicationFolder(), "pull"), block.name);
    session.TokenSource = MakeTokenSource(oauth, work, SystemClock());
  }
  const bool connected = session.Connect(&server) == 0;
  // No logout: the connection is just dropped.
  session.Close();
  if (!connected) return "Error: " + session.LastError;
  if (!MailboxExists(MailServerDataFolder(), localUser, localDomain)) return std::string(kTestNoMailbox);
  return std::string(kTestOk);
}

}  // namespace

std::string AccountTestVerdict(const ConfigBlock& block) {
  try {
    return RunTest(block);
  } catch (...) {
    return std::string(kTestException);
  }
}

TestRun::~TestRun() {
  if (thread.joinable()) thread.join();
}

AccountTests::~AccountTests() {
  std::vector<std::unique_ptr<TestRun>> runs;
  {
    std::lock_guard<std::mutex> hold(lock_);
    runs.swap(runs_);
  }
  // Destroying the records joins their threads, outside the lock that the
  // threads take to finish.
}

void AccountTests::Start(ConfigBlock block) {
  // Listed before its thread starts; only the control server's thread starts
  // and fetches tests, so nobody sees the record in between.
  TestRun* r = nullptr;
  try {
    auto run = std::make_unique<TestRun>();
    run->block = std::move(block);
    r = run.get();
    std::lock_guard<std::mutex> hold(lock_);
    runs_.push_back(std::move(run));
  } catch (const std::bad_alloc&) {
    return;
  }
  try {
    r->thread = std::thread([this, r] {
      std::string verdict = AccountTestVerdict(r->block);
      r->result = std::move(verdict);
      std::lock_guard<std::mutex> hold(lock_);
      r->done = true;
    });
  } catch (const std::system_error&) {
    // Not listed after all: a fetch answers kTestUnknown.
    std::unique_ptr<TestRun> dropped;
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = runs_.begin(); it != runs_.end(); ++it) {
      if (it->get() == r) {
        dropped = std::move(*it);
        runs_.erase(it);
        break;
      }
    }
  }
}

std::string AccountTests::FetchResult(std::string_view name) {
  std::unique_ptr<TestRun> found;
  bool running = false;
  std::size_t listed = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    listed = runs_.size();
    for (std::size_t i = runs_.size(); i-- > 0;) {
      if (runs_[i]->block.name != name) continue;
      if (runs_[i]->done) {
        found = std::move(runs_[i]);
        runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        running = true;
      }
      break;
    }
  }
  if (running) return {};
  if (!found) return std::string(kTestUnknown);
  std::string result = std::move(found->result);
  found.reset();

  if (listed > 5) {
    std::vector<std::unique_ptr<TestRun>> swept;
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (auto& r : runs_)
        if (r->done) swept.push_back(std::move(r));
      std::erase(runs_, nullptr);
    }
  }
  return result;
}

std::size_t AccountTests::Count() {
  std::lock_guard<std::mutex> hold(lock_);
  return runs_.size();
}

std::size_t AccountTests::FinishedCount() {
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t n = 0;
  for (const auto& r : runs_) n += r->done ? 1 : 0;
  return n;
}

}  // namespace tarnwick
