// Standard streams on Windows: handles are not small numbers a file could take over.
#include <windows.h>

#include "platform/console.h"

namespace mkx::platform {

void OpenMissingStandardStreams() {}

// A process started by a program with no console may have no output at all; its
// stream then fails every write, and cannot be reopened on the null device.
bool HasStandardOutput() {
  const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace mkx::platform
