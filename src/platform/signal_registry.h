// The slot table behind CleanupOnSignal (see signal_cleanup.h), shared by the POSIX
// and Windows handlers. Each platform supplies how a file is deleted, safely from its
// handler.
#pragma once

namespace mkx::platform {

/// Deletes the file at `path`, ignoring failure. Defined per platform.
void DeleteRegisteredFile(const char* path);

/// Deletes every armed file: for the termination handler.
void RemoveRegisteredFiles();

}  // namespace mkx::platform
