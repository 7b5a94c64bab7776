// Commits the working copy and writes the transform between it and the source, with
// its summary information; failures are reported with the installer's extended text.
#pragma once

#include <string>

#include "installer/installer_database.h"

namespace mkx::transform {

/// Prints "Err#<code> <text>" with the last error record's text, when there is one.
void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code);

/// Commit, generate, add summary information. Returns true when the commit succeeded
/// and the transform was written.
bool WriteTransform(installer::InstallerDatabase& msi, installer::MSIHANDLE working,
                    installer::MSIHANDLE source, const std::u16string& transform_path);

}  // namespace mkx::transform
