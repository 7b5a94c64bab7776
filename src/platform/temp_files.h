// Temporary files and whole-file operations, with the semantics of the Windows file
// services the tool was designed around (GetTempPathW, GetTempFileNameW, CopyFileW,
// DeleteFileW).
#pragma once

#include <string>

namespace mkx::platform {

/// The temporary directory: $TMPDIR when set and not empty, else /tmp, always ending
/// with '/'. Returns an empty string when the path would not fit `limit` characters.
std::u16string GetTempDirectory(size_t limit = 4096);

/// Creates a new, empty, uniquely named file "<prefix>XXXX.tmp" (XXXX hexadecimal) in
/// `directory` (which ends with '/'), exclusively (never reusing an existing name),
/// and returns its full path; empty when no file could be created.
std::u16string CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix);

/// Copies `source` over `target` (overwriting it). Done in the kernel where it can be
/// (copy_file_range), else with a bounded buffer; never reads the whole file into
/// memory. Returns false when the source is missing or unreadable or the copy failed;
/// errno then tells why.
bool CopyFileOver(const std::string& source, const std::string& target);

/// Removes a file; false if it could not be removed.
bool RemoveFile(const std::string& path);

/// Whether both paths name the same existing file (same device and inode, whatever
/// the spelling: links, "./", symbolic links).
bool SameExistingFile(const std::string& a, const std::string& b);

}  // namespace mkx::platform
