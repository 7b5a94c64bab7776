// Writing a file's whole contents at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/result.h"

namespace mkx::platform {

/// Makes the file at `path` hold exactly `bytes`: an existing file is truncated and
/// rewritten in place, a missing one created. Nothing is synced; whoever publishes
/// the file makes it durable. Errors carry fields {path, system reason}.
Status WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace mkx::platform
