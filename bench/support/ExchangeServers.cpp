#include "bench/support/ExchangeServers.h"

#include "mailclient/MailServer.h"
#include "tests/support/FakeExchange.h"

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick::bench {

ExchangeServer::~ExchangeServer() { Stop(); }

void ExchangeServer::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  server_.clear();
}

bool ExchangeServer::Start(int protocol, bool tls, int count, const std::function<std::string(int)>& make,
                           std::string* error) {
  Stop();
  int fds[2];
  if (::pipe(fds) != 0) {
    if (error) *error = "pipe failed";
    return false;
  }
  pid_ = ::fork();
  if (pid_ < 0) {
    if (error) *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    ::close(fds[0]);
    test::HttpOptions o{.tls = tls, .auth = test::HttpAuth::Ntlm, .user = "bench", .domain = "CORP",
                        .password = Password(), .record = false};
    std::unique_ptr<test::FakeEws> ews;
    std::unique_ptr<test::FakeWebDav> dav;
    std::string setting;
    if (protocol == ExchangeEws) {
      ews = std::make_unique<test::FakeEws>(o);
      for (int i = 0; i < count; ++i) ews->AddMessage(make(i));
      setting = ews->Url();
    } else {
      dav = std::make_unique<test::FakeWebDav>(o, "bench");
      for (int i = 0; i < count; ++i) dav->AddMessage(make(i));
      setting = dav->ServerSetting();
    }
    setting += "\n";
    if (::write(fds[1], setting.data(), setting.size()) != static_cast<ssize_t>(setting.size())) ::_exit(1);
    ::close(fds[1]);
    for (;;) ::pause();  // serves on its threads until killed
  }
  ::close(fds[1]);
  std::string line;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(fds[0]);
  if (line.empty()) {
    if (error) *error = "the server process did not start";
    Stop();
    return false;
  }
  server_ = line;
  return true;
}

}  // namespace tarnwick::bench
