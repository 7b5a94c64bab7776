// Writes one property into the Property table of the working copy: an INSERT, then
// an UPDATE, each reported by one line, then a read-back of the row. Names and values travel as statement
// parameters, so any text (quotes included) is stored exactly.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "installer/installer_database.h"
#include "properties/property_file.h"

namespace mkx::properties {

inline constexpr std::u16string_view kInsertStatement =
    u"INSERT INTO Property (Property, Value) VALUES (?, ?)";
inline constexpr std::u16string_view kUpdateStatement =
    u"UPDATE Property SET Value=? WHERE Property=?";
inline constexpr std::u16string_view kReadBackStatement = u"SELECT Value FROM Property WHERE Property=?";

/// Opens a view for the statement, executes it with the parameters and closes it.
/// Gives the execution's result code, or nothing when the view could not be opened.
std::optional<installer::UINT> RunStatement(installer::InstallerDatabase& msi, installer::MSIHANDLE database,
                                            std::u16string_view statement,
                                            std::initializer_list<std::reference_wrapper<const std::u16string>> params);

/// The values of the Property rows named `name` (none when there is no such row, or
/// the table cannot be read).
std::vector<std::u16string> ReadPropertyValues(installer::InstallerDatabase& msi, installer::MSIHANDLE database,
                                               const std::u16string& name);

/// Inserts, then updates, the property; prints one line per statement. Returns true
/// (and reports the update as successful) only when the UPDATE succeeded and the
/// property then reads back as exactly one row with the value.
bool ApplyProperty(installer::InstallerDatabase& msi, installer::MSIHANDLE database,
                   const PropertyAssignment& assignment);

}  // namespace mkx::properties
