// The installer's extended text for a failure, as every part of the tool prints it.
#pragma once

#include <cstdint>
#include <string_view>

#include "installer/installer_database.h"

namespace mkx::tool {

/// A result code as the messages print it: a signed decimal, as Windows shows them.
inline int64_t Signed(installer::UINT code) { return static_cast<int32_t>(code); }

/// Prints "Err#<code> <text>" with the last error record's text, when there is one,
/// with `private_path` (a file the user never named) shown as `shown_path`.
void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code,
                              std::u16string_view private_path = {}, std::u16string_view shown_path = {});

}  // namespace mkx::tool
