// An output file published once, complete: the transform's way to its path.
//
// The file is written to a private temporary file and appears at its path in one
// step, so a reader (or a failed or interrupted run) sees the previous file or the
// complete new one, never a part. What the path names decides how:
//  - nothing, or a regular file: a temporary file beside it (O_EXCL, mode 0600) is
//    synced once, renamed over the path once, and the directory is synced once. An
//    existing file keeps its permission bits (and its owner where the user may keep
//    it); a new one gets 0666 less the umask, as any new file;
//  - a symbolic link: the file it points to, as above (a dangling link creates its
//    target); the link stays;
//  - a character device or a FIFO: the complete bytes are written through to it;
//  - an existing file the user may not write: refused with result_code::kAccessDenied;
//  - a writable file in a directory that takes no new file, or that lets only the
//    file's owner replace it (sticky), or a file with no name (a deleted file or a
//    memfd reached through /proc/self/fd): the complete bytes are written in place,
//    with termination signals held back until they are all there.
// Until Publish, a termination signal deletes the temporary file, and the path is
// untouched; once the file is published, termination signals are ignored
// (IgnoreTerminationSignals): nothing deletes it, and the run finishes as successful.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"
#include "platform/signal_cleanup.h"

namespace mkx::platform {

/// A new random name for a private file beside `target` (in `directory` instead, when
/// given, which ends with a separator): "<dir>.<name>.<12 hexadecimal digits>.tmp".
std::string PrivateFileName(const std::string& target, const std::string& directory = "");

class OutputFile {
 public:
  /// Prepares the output for `path` (see above) and creates its empty temporary file.
  /// Failures: result_code::kAccessDenied, or result_code::kCreateFailed, with fields {path, system
  /// reason}.
  static Result<std::unique_ptr<OutputFile>> Create(const std::string& path);

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // deletes the temporary file unless published

  /// The private file to write the complete contents into.
  const std::string& temp_path() const { return temp_; }

  /// Puts the contents of the temporary file at the path (see above). Fails with
  /// result_code::kCreateFailed or the write's own code; the path is then untouched,
  /// except after a write through that failed part-way (a FIFO or device, or a file
  /// whose room was reserved and which then failed to be written).
  Status Publish();

 private:
  enum class Kind { kReplace, kWriteThrough };
  OutputFile() = default;

  std::string target_;  // the path to publish at, symbolic links resolved
  std::string temp_;
  Kind kind_ = Kind::kReplace;
  bool keep_owner_ = false;  // an existing file: its owner carries over
  uint32_t mode_ = 0;        // the published file's: an existing file's, or 0666 less the umask
  uint32_t uid_ = 0;
  uint32_t gid_ = 0;
  bool done_ = false;
  CleanupOnSignal cleanup_;
};

}  // namespace mkx::platform
