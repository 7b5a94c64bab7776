// Scratch files: files whose contents do not matter after a crash.
//
// A private working copy that is deleted after use is never read again once the
// process dies, so flushing it to stable storage buys nothing: writes reach the page
// cache in program order and every later read in this process sees them. Flushing a
// freshly copied large file would instead force all of its dirty pages to disk (and
// make deleting it wait for that), which costs far more than the copy itself.
#pragma once

#include <memory>

#include "platform/file.h"

namespace mkx::platform {

/// Wraps `file` so that Sync() succeeds without flushing anything; every other call
/// goes to `file` unchanged. Only for files nobody reads after a crash.
std::unique_ptr<RandomAccessFile> AsScratchFile(std::unique_ptr<RandomAccessFile> file);

}  // namespace mkx::platform
