// The working copy: a uniquely named temporary file that receives a byte-for-byte
// copy of the source database. All changes are made there; the source is only read.
#pragma once

#include <string>

namespace mkx::driver {

/// Creates a new, empty, uniquely named file "msiXXXX.tmp" in the temporary directory
/// and returns its full path, or an empty string when none could be made.
std::u16string MakeWorkingCopyName();

/// Copies the source database over the working copy; prints
/// "Error copying the MSI to <path>" and returns false on failure.
bool CopyToWorkingCopy(const std::u16string& database_path, const std::u16string& working_copy_path);

/// Deletes the working copy (nothing is printed; an empty path is ignored).
void RemoveWorkingCopy(const std::u16string& working_copy_path);

}  // namespace mkx::driver
