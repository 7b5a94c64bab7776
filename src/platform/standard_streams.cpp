// Standard streams on POSIX: a closed one is reopened on /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"

namespace mkx::platform {

void OpenMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number: this one, as the lower ones are open.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

// A closed output was reopened on the null device above.
bool HasStandardOutput() { return true; }

}  // namespace mkx::platform
