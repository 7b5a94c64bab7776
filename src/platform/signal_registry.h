// The slot table behind CleanupOnSignal (see signal_cleanup.h), shared by the POSIX
// and Windows handlers. Each platform supplies how a file is identified and deleted;
// both must be safe to call from its handler.
#pragma once

#include <cstdint>
#include <string>

namespace mkx::platform {

/// Which file a path names: device and inode (POSIX), or volume serial number and
/// file index (Windows).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

/// The identity of the file at `path` (not following a final symbolic link), or false
/// when there is none. Defined per platform. A bool, unlike the rest of the platform
/// layer: the handler calls it, and building an Error could allocate there.
bool IdentifyFile(const char* path, FileIdentity& identity);
/// Deletes the file at `path`, ignoring failure. Defined per platform.
void DeleteRegisteredFile(const char* path);

/// Deletes every armed file: for the termination handler.
void RemoveRegisteredFiles();

}  // namespace mkx::platform
