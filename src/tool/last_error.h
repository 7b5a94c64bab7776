// The installer's extended text for a failure, as every part of the tool prints it.
#pragma once

#include <cstdint>

#include "installer/installer_database.h"

namespace mkx::tool {

/// A result code as the messages print it: a signed decimal, as Windows shows them.
inline int64_t Signed(installer::UINT code) { return static_cast<int32_t>(code); }

/// Prints "Err#<code> <text>" with the last error record's text, when there is one.
void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code);

}  // namespace mkx::tool
