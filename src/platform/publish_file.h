// Publishing a file atomically: readers of the path see the old file or the complete
// new one, never a part.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/result.h"

namespace mkx::platform {

/// Puts `bytes` at `path`: written to a new private file beside it ("." + name +
/// random suffix + ".tmp", created exclusively), synced, renamed over `path`, and
/// the directory synced. The temporary file is deleted if a termination signal
/// arrives before the rename. On failure nothing is left behind and a file that was
/// at `path` is untouched; the error is ERROR_CREATE_FAILED (or the write's own code)
/// with fields {path, system reason}.
Status PublishFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace mkx::platform
