// The working copy: a uniquely named temporary file that receives a byte-for-byte
// copy of the source database. All changes are made there; the source is only read.
#pragma once

#include <string>

#include "platform/result.h"
#include "platform/signal_cleanup.h"
#include "platform/temp_files.h"

namespace mkx::driver {

/// Owns the working copy from its creation to its deletion: the file "msiXXXX.tmp" in
/// the temporary directory, created empty by the constructor (exclusively, mode 0600,
/// kept open), deleted by the destructor, and deleted by a termination signal in
/// between (termination handlers must be installed first).
class WorkingCopy {
 public:
  /// Creates the file, never at `keep_clear` (the transform's path: a transform
  /// published there would be deleted with the copy). When none can be made, path()
  /// is empty and CopyFrom fails with the reason.
  explicit WorkingCopy(const std::string& keep_clear);
  /// Deletes the file (nothing is printed).
  ~WorkingCopy();
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;

  const std::u16string& path() const { return file_.path(); }
  /// The file as created, for opening it again (platform::OpenTempFile).
  const platform::TempFile& file() const { return file_; }

  /// Copies the source database into the working copy, through the descriptor it was
  /// created with; prints "Error copying the MSI to <path>" and fails, with the
  /// system's reason for the failure of the copy itself, when it cannot. When no file
  /// could be made, <path> is the temporary directory and the reason is why not.
  Status CopyFrom(const std::u16string& database_path);

 private:
  platform::TempFile file_;  // no path when no file was made
  Status made_;              // why not, then
  platform::CleanupOnSignal cleanup_;
};

}  // namespace mkx::driver
