// Writes properties into the Property table of the working copy: for each, an
// INSERT, then an UPDATE, each reported by one line, then a read-back of the row.
// Names and values travel as statement parameters, so any text (quotes included) is
// stored exactly. The statements are prepared once and executed for every property.
#pragma once

#include <optional>
#include <string>

#include "installer/installer_database.h"
#include "properties/property_file.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::properties {

// Every statement that takes the value binds one record: (value, name).
inline constexpr std::u16string_view kInsertStatement = u"INSERT INTO Property (Value, Property) VALUES (?, ?)";
inline constexpr std::u16string_view kUpdateStatement = u"UPDATE Property SET Value=? WHERE Property=?";
inline constexpr std::u16string_view kExactRowStatement = u"SELECT Property FROM Property WHERE Value=? AND Property=?";
inline constexpr std::u16string_view kNamedRowsStatement = u"SELECT Property FROM Property WHERE Property=?";
inline constexpr std::u16string_view kValueStatement = u"SELECT Value FROM Property WHERE Property=?";

/// The statements that set properties in one database.
class PropertyWriter {
 public:
  PropertyWriter(installer::InstallerDatabase& msi, installer::MSIHANDLE database);

  /// Inserts, then updates, the property; prints one line per statement. Returns
  /// true (and reports the update as successful) only when the UPDATE succeeded and
  /// the table then holds exactly one row of that name, with exactly that value.
  bool Apply(const PropertyAssignment& assignment);

 private:
  installer::InstallerDatabase& msi_;
  tool::ScopedMsiHandle insert_, update_, exact_row_, named_rows_;
};

/// Reads property values of one database.
class PropertyReader {
 public:
  PropertyReader(installer::InstallerDatabase& msi, installer::MSIHANDLE database);

  /// The value of the property; nothing when the database has no such row, or its
  /// Property table cannot be read.
  std::optional<std::u16string> Value(const std::u16string& name);

 private:
  installer::InstallerDatabase& msi_;
  tool::ScopedMsiHandle view_;
};

}  // namespace mkx::properties
