// Thread identity.
#pragma once

#include <cstdint>

namespace tarnwick {

// The kernel's id of the calling thread (gettid), as shown in status lines.
int32_t CurrentThreadId();

}  // namespace tarnwick
