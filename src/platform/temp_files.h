// Temporary files and whole-file operations, with the semantics of the Windows file
// services the tool was designed around (GetTempPathW, GetTempFileNameW, CopyFileW,
// DeleteFileW). Failures carry the system's reason (see system_error.h).
#pragma once

#include <string>

#include "platform/result.h"

namespace mkx::platform {

/// The temporary directory: $TMPDIR when set and not empty, else /tmp, always ending
/// with '/'. Fails when the path would not fit `limit` characters.
Result<std::u16string> GetTempDirectory(size_t limit = 4096);

/// Creates a new, empty, uniquely named file "<prefix>XXXX.tmp" (XXXX hexadecimal) in
/// `directory` (which ends with '/'), exclusively (never reusing an existing name),
/// and returns its full path.
Result<std::u16string> CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix);

/// Copies `source` over `target` (overwriting it). Done in the kernel where it can be
/// (copy_file_range), else with a bounded buffer; never reads the whole file into
/// memory. Fails when the source is missing or unreadable or the copy failed, with the
/// reason the system gave for that very failure.
Status CopyFileOver(const std::string& source, const std::string& target);

/// Removes a file.
Status RemoveFile(const std::string& path);

/// Whether both paths name the same existing file (same device and inode, whatever
/// the spelling: links, "./", symbolic links). A question, not an operation: false
/// when either does not exist.
bool SameExistingFile(const std::string& a, const std::string& b);

}  // namespace mkx::platform
