#include "platform/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tarnwick {
namespace {

int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  (void)!::write(g_pipe[1], &b, 1);
  errno = saved;
}

ControlSignal Meaning(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT: return ControlSignal::Stop;
    case SIGHUP: return ControlSignal::Nothing;
    default: return ControlSignal::Unknown;
  }
}

}  // namespace

ControlSignals::ControlSignals() {
  if (g_pipe[0] >= 0) return;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals)
    if (::sigaction(sig, &sa, nullptr) != 0) return;
  installed_ = true;
}

ControlSignals::~ControlSignals() {
  if (!installed_) return;
  struct sigaction sa{};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

ControlSignal ControlSignals::Wait(int64_t ms) {
  if (!installed_) {
    if (ms > 0) ::usleep(static_cast<useconds_t>(ms * 1000));
    return ControlSignal::None;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    unsigned char b = 0;
    if (::read(g_pipe[0], &b, 1) == 1) return Meaning(b);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return ControlSignal::None;
    pollfd p{g_pipe[0], POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

}  // namespace tarnwick
