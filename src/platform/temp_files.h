// Temporary files and whole-file operations, with the semantics of the Windows file
// services the tool was designed around (GetTempPathW, GetTempFileNameW, CopyFileW,
// DeleteFileW). Failures carry the system's reason (see system_error.h).
//
// A temporary file lives in a directory others may write to, so on POSIX it is made
// once (O_EXCL | O_NOFOLLOW, mode 0600), kept open, written through that descriptor,
// and opened by name again only when the name still leads to that very file (same
// device and inode, no symbolic link): whatever is put at its name later is never
// read or written.
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/result.h"

namespace mkx::platform {

/// POSIX: creates `name` exclusively (never an existing name, never through a link),
/// open for reading and writing, with mode 0600 whatever the umask (a umask that takes
/// the owner's write bit must not make the file unusable to its maker). Returns the
/// descriptor, or the system's errno negated (-EEXIST when the name is taken).
int CreateExclusive(const std::string& name);

/// `base` (a directory and a prefix) plus 16 random hexadecimal digits plus ".tmp":
/// the name a temporary file takes when every short name is taken.
std::string RandomTempName(const std::string& base);

/// The temporary directory: $TMPDIR when set and not empty, else /tmp, always ending
/// with '/'. Fails when the path would not fit `limit` characters.
Result<std::u16string> GetTempDirectory(size_t limit = 4096);

/// A file this process created: its full path and, on POSIX, the descriptor it was
/// created with (open for reading and writing; -1 on Windows, where the system closes
/// it). The destructor closes the descriptor; the file stays (see RemoveFile).
class TempFile {
 public:
  TempFile() = default;
  TempFile(std::u16string path, int descriptor) : path_(std::move(path)), descriptor_(descriptor) {}
  ~TempFile();
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::u16string& path() const { return path_; }
  int descriptor() const { return descriptor_; }

 private:
  std::u16string path_;
  int descriptor_ = -1;
};

/// Creates a new, empty, uniquely named file "<prefix>XXXX.tmp" (XXXX hexadecimal, at
/// most 16 bits) in `directory` (which ends with '/'), exclusively (never reusing an
/// existing name, never through a symbolic link). When every such name is taken, the
/// file is "<prefix>" plus 16 random hexadecimal digits plus ".tmp" instead. Fails
/// with the directory as the subject and the system's reason (missing, not a
/// directory, not writable, name too long).
Result<TempFile> CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix);

/// Copies `source` into `target`, a file just made by CreateUniqueTempFile, through
/// its descriptor. The source must be a regular file; it is opened without blocking
/// (a FIFO or device is refused, not waited on) and only read. Done in the kernel
/// where it can be (copy_file_range), else with a bounded buffer; holes of a sparse
/// source stay holes where the system reports them (SEEK_DATA/SEEK_HOLE). Fails when
/// the source is missing, unreadable or not a regular file, or the copy failed, with
/// the reason the system gave for that very failure.
Status CopyFileOver(const std::string& source, TempFile& target);

/// Opens `file` again by its name for reading and writing, as a RandomAccessFile,
/// only if the name still leads to the file that was created: no symbolic link is
/// followed and the device and inode must match. Otherwise fails with
/// result_code::kOpenFailed, fields {path, reason}.
Result<std::unique_ptr<RandomAccessFile>> OpenTempFile(const TempFile& file);

/// Removes a file.
Status RemoveFile(const std::string& path);

/// Whether both paths name the same existing file (same device and inode, whatever
/// the spelling: links, "./", symbolic links). A question, not an operation: false
/// when either does not exist.
bool SameExistingFile(const std::string& a, const std::string& b);

}  // namespace mkx::platform
