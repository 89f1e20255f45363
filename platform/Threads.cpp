#include "platform/Threads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarnwick {

namespace {

// Both ids are asked of the kernel once per thread and process: they are read
// for every status line and every queue file name. A forked child asks anew.
thread_local int32_t cachedThreadId = 0;
int32_t cachedProcessId = 0;

void ForgetIds() {
  cachedThreadId = 0;
  cachedProcessId = 0;
}

const bool registered = [] {
  ::pthread_atfork(nullptr, nullptr, ForgetIds);
  return true;
}();

}  // namespace

int32_t CurrentThreadId() {
  (void)registered;
  if (cachedThreadId == 0) cachedThreadId = static_cast<int32_t>(::syscall(SYS_gettid));
  return cachedThreadId;
}

int32_t CurrentProcessId() {
  (void)registered;
  int32_t id = __atomic_load_n(&cachedProcessId, __ATOMIC_RELAXED);
  if (id == 0) {
    id = static_cast<int32_t>(::getpid());
    __atomic_store_n(&cachedProcessId, id, __ATOMIC_RELAXED);
  }
  return id;
}

}  // namespace tarnwick
