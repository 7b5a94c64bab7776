#include "properties/property_update.h"

#include "platform/console.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::properties {

using installer::MSIHANDLE;
using installer::UINT;

namespace {

using Params = std::initializer_list<std::reference_wrapper<const std::u16string>>;

// Opens a view for the statement into `view` and executes it with the parameters:
// the execution's result code, or nothing when the view could not be opened.
std::optional<UINT> Execute(installer::InstallerDatabase& msi, MSIHANDLE database, std::u16string_view statement,
                            Params params, tool::ScopedMsiHandle& view) {
  const std::u16string text(statement);
  if (msi.MsiDatabaseOpenViewW(database, text.c_str(), view.out()) != ERROR_SUCCESS || view.get() == 0) {
    return std::nullopt;
  }
  tool::ScopedMsiHandle record(msi, msi.MsiCreateRecord(static_cast<UINT>(params.size())));
  UINT field = 0;
  for (const std::u16string& param : params) msi.MsiRecordSetStringW(record.get(), ++field, param.c_str());
  return msi.MsiViewExecute(view.get(), record.get());
}

// The text of a record's field.
std::u16string FieldText(installer::InstallerDatabase& msi, MSIHANDLE record, UINT field) {
  char16_t empty[1] = {u'\0'};
  installer::DWORD length = 0;
  if (msi.MsiRecordGetStringW(record, field, empty, &length) != ERROR_MORE_DATA) return {};
  std::u16string text(length + 1, u'\0');
  ++length;
  if (msi.MsiRecordGetStringW(record, field, text.data(), &length) != ERROR_SUCCESS) return {};
  text.resize(length);
  return text;
}

}  // namespace

std::optional<UINT> RunStatement(installer::InstallerDatabase& msi, MSIHANDLE database,
                                 std::u16string_view statement, Params params) {
  tool::ScopedMsiHandle view(msi, 0);
  return Execute(msi, database, statement, params, view);
}

std::vector<std::u16string> ReadPropertyValues(installer::InstallerDatabase& msi, MSIHANDLE database,
                                               const std::u16string& name) {
  std::vector<std::u16string> values;
  tool::ScopedMsiHandle view(msi, 0);
  if (Execute(msi, database, kReadBackStatement, {name}, view) != ERROR_SUCCESS) return values;
  for (;;) {
    tool::ScopedMsiHandle row(msi, 0);
    if (msi.MsiViewFetch(view.get(), row.out()) != ERROR_SUCCESS) break;
    values.push_back(FieldText(msi, row.get(), 1));
  }
  return values;
}

bool ApplyProperty(installer::InstallerDatabase& msi, MSIHANDLE database, const PropertyAssignment& assignment) {
  const auto& name = assignment.Name;
  const auto& value = assignment.Value;

  auto inserted = RunStatement(msi, database, kInsertStatement, {name, value});
  platform::Print(inserted == ERROR_SUCCESS ? u"Successfully inserting property %s as value %s\n"
                                            : u"Error in inserting property %s as value %s\n",
                  {name, value});

  auto updated = RunStatement(msi, database, kUpdateStatement, {value, name});
  // Success only when the table now holds the row, with this very value, once: a
  // statement can succeed without setting it (an extra NOT NULL column refusing the
  // INSERT while the UPDATE matches nothing, a key held twice).
  const bool ok = updated == ERROR_SUCCESS &&
                  ReadPropertyValues(msi, database, name) == std::vector<std::u16string>{value};
  platform::Print(ok ? u"Successfully updating property %s as value %s\n"
                     : u"Error in updating property %s as value %s\n",
                  {name, value});
  return ok;
}

}  // namespace mkx::properties
