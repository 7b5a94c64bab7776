// The installer's extended text for a failure, as every part of the tool prints it.
#pragma once

#include "installer/installer_database.h"

namespace mkx::tool {

/// Prints "Err#<code> <text>" with the last error record's text, when there is one.
void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code);

}  // namespace mkx::tool
