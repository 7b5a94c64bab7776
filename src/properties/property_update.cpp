#include "properties/property_update.h"

#include "platform/console.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::properties {

using installer::MSIHANDLE;
using installer::UINT;

std::optional<UINT> RunStatement(installer::InstallerDatabase& msi, MSIHANDLE database,
                                 std::u16string_view statement,
                                 std::initializer_list<std::reference_wrapper<const std::u16string>> params) {
  const std::u16string text(statement);
  tool::ScopedMsiHandle view(msi, 0);
  if (msi.MsiDatabaseOpenViewW(database, text.c_str(), view.out()) != ERROR_SUCCESS || view.get() == 0) {
    return std::nullopt;
  }
  tool::ScopedMsiHandle record(msi, msi.MsiCreateRecord(static_cast<UINT>(params.size())));
  UINT field = 0;
  for (const std::u16string& param : params) msi.MsiRecordSetStringW(record.get(), ++field, param.c_str());
  return msi.MsiViewExecute(view.get(), record.get());
}

bool ApplyProperty(installer::InstallerDatabase& msi, MSIHANDLE database, const PropertyAssignment& assignment) {
  const auto& name = assignment.Name;
  const auto& value = assignment.Value;

  auto inserted = RunStatement(msi, database, kInsertStatement, {name, value});
  platform::Print(inserted == ERROR_SUCCESS ? u"Successfully inserting property %s as value %s\n"
                                            : u"Error in inserting property %s as value %s\n",
                  {name, value});

  auto updated = RunStatement(msi, database, kUpdateStatement, {value, name});
  const bool ok = updated == ERROR_SUCCESS;
  platform::Print(ok ? u"Successfully updating property %s as value %s\n"
                     : u"Error in updating property %s as value %s\n",
                  {name, value});
  return ok;
}

}  // namespace mkx::properties
