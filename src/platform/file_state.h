// A file's identity and state, to tell whether it changed between two moments.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace mkx::platform {

/// Which file a path names (device and inode; volume and index on Windows) and its
/// size and modification and change times. Equal states mean the same file,
/// unchanged as far as the system tells.
struct FileState {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  friend bool operator==(const FileState&, const FileState&) = default;
};

/// The state of the file at `path` (links followed). Errors carry {path, reason}.
Result<FileState> GetFileState(const std::string& path);

}  // namespace mkx::platform
