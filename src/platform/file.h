// Random-access files: the only way the engine touches the disk.
//
// RandomAccessFile is abstract so that tests can substitute a file that fails a
// write, runs out of space, or records what was written where.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace mkx::platform {

class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;

  /// Reads exactly out.size() bytes at offset. Reading past the end fails with
  /// result_code::kReadFault (the caller validated sizes; a short file is corrupt).
  virtual Status ReadAt(uint64_t offset, std::span<uint8_t> out) = 0;
  /// Writes all of data at offset, extending the file when needed.
  /// Fails with result_code::kWriteFault or result_code::kHandleDiskFull.
  virtual Status WriteAt(uint64_t offset, std::span<const uint8_t> data) = 0;
  /// Current size in bytes.
  virtual uint64_t Size() const = 0;
  /// Makes everything written so far durable (fdatasync).
  virtual Status Sync() = 0;
  /// Sets the file size (shrinks or extends with zeros).
  virtual Status Truncate(uint64_t size) = 0;
  virtual bool writable() const = 0;
};

enum class FileMode {
  kReadOnly,      // existing file, opened O_RDONLY: never written
  kReadWrite,     // existing file, read and written in place; never through a final
                  // symbolic link (O_NOFOLLOW where the system has it)
  kCreateNew,     // new file; fails if the path exists (O_EXCL)
};

/// Opens a file. Failures give result_code::kOpenFailed (existing file) or
/// result_code::kCreateFailed (kCreateNew), with fields {path, system reason}.
Result<std::unique_ptr<RandomAccessFile>> OpenFile(const std::string& path, FileMode mode);

/// Where the last component of `path` begins: just after the last separator ('/';
/// on Windows also '\\' and a drive's ':'), 0 when there is none.
size_t FileNameStart(std::string_view path);

/// Whether anything (file, directory, other) exists at `path` (a question: false is
/// no failure).
bool PathExists(const std::string& path);

/// Puts `from` in place of `to` in one step, replacing a file at `to` (rename on
/// POSIX, MoveFileExW with MOVEFILE_REPLACE_EXISTING on Windows). Fails with
/// result_code::kCreateFailed, fields {to, system reason}.
Status RenameOver(const std::string& from, const std::string& to);

/// Makes a completed RenameOver to `path` durable where the system needs a separate
/// step for that (fsync of the directory on POSIX; Windows needs none). Fails with
/// result_code::kWriteFault, fields {directory, system reason}.
Status SyncParentDirectory(const std::string& path);

}  // namespace mkx::platform
