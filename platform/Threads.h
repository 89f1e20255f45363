// Thread identity.
#pragma once

#include <cstdint>

namespace tarnwick {

// The kernel's id of the calling thread (gettid), as shown in status lines.
int32_t CurrentThreadId();
// The calling process's id (getpid).
int32_t CurrentProcessId();

}  // namespace tarnwick
