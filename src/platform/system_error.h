// How the platform layer reports a failed system call: an Error whose record reads
// "<subject>: <the system's reason>", so that the text a user sees is the system's
// own (strerror on POSIX, FormatMessageW on Windows), taken when the call failed.
#pragma once

#include <string>
#include <utility>

#include "platform/result.h"

namespace mkx::platform {

/// Error `code` about `subject` (usually a path), with the system's `reason`:
/// template "[2]: [3]", fields {subject, reason}.
inline Error SystemError(uint32_t code, std::u16string subject, std::u16string reason) {
  return Error(code, 0, u"[2]: [3]", {std::move(subject), std::move(reason)});
}

/// The reason of an Error made by SystemError (its last field; empty when it has none).
inline std::u16string SystemReason(const Error& error) {
  return error.fields.empty() ? std::u16string() : error.fields.back();
}

}  // namespace mkx::platform
