#include "platform/Threads.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace tarnwick {

int32_t CurrentThreadId() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

}  // namespace tarnwick
