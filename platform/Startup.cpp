#include "platform/Startup.h"

#include <fcntl.h>
#include <unistd.h>

namespace tarnwick {

void DetachFromConsole() {
  int fd = ::open("/dev/null", O_RDWR);
  if (fd < 0) return;
  ::dup2(fd, STDIN_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  if (fd > STDOUT_FILENO) ::close(fd);
}

}  // namespace tarnwick
