// Standard streams on Windows: handles are not small numbers a file could take over.
#include "platform/console.h"

namespace mkx::platform {

void OpenMissingStandardStreams() {}

}  // namespace mkx::platform
