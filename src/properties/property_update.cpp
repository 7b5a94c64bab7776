#include "properties/property_update.h"

#include "platform/console.h"
#include "tool/last_error.h"

namespace mkx::properties {

using installer::MSIHANDLE;
using installer::UINT;

namespace {

// Prepares a statement; the view stays 0 when it cannot be (no Property table).
void Prepare(installer::InstallerDatabase& msi, MSIHANDLE database, std::u16string_view statement,
             tool::ScopedMsiHandle& view) {
  const std::u16string text(statement);
  msi.MsiDatabaseOpenViewW(database, text.c_str(), view.out());
}

// A record of string fields.
MSIHANDLE MakeRecord(installer::InstallerDatabase& msi, std::initializer_list<const std::u16string*> fields) {
  const MSIHANDLE record = msi.MsiCreateRecord(static_cast<UINT>(fields.size()));
  UINT field = 0;
  for (const std::u16string* text : fields) msi.MsiRecordSetStringW(record, ++field, text->c_str());
  return record;
}

// Executes a prepared view with the record and closes the execution: its result
// code, or nothing when the view could not be prepared.
std::optional<UINT> Execute(installer::InstallerDatabase& msi, const tool::ScopedMsiHandle& view, MSIHANDLE record) {
  if (view.get() == 0) return std::nullopt;
  const UINT result = msi.MsiViewExecute(view.get(), record);
  msi.MsiViewClose(view.get());
  return result;
}

// The number of rows a prepared SELECT gives for the record (0 when it fails).
size_t CountRows(installer::InstallerDatabase& msi, const tool::ScopedMsiHandle& view, MSIHANDLE record) {
  if (view.get() == 0 || msi.MsiViewExecute(view.get(), record) != ERROR_SUCCESS) return 0;
  size_t rows = 0;
  for (;;) {
    tool::ScopedMsiHandle row(msi, 0);
    if (msi.MsiViewFetch(view.get(), row.out()) != ERROR_SUCCESS) break;
    ++rows;
  }
  msi.MsiViewClose(view.get());
  return rows;
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

PropertyWriter::PropertyWriter(installer::InstallerDatabase& msi, MSIHANDLE database)
    : msi_(msi), insert_(msi, 0), update_(msi, 0), exact_row_(msi, 0), named_rows_(msi, 0) {
  Prepare(msi, database, kInsertStatement, insert_);
  Prepare(msi, database, kUpdateStatement, update_);
  Prepare(msi, database, kExactRowStatement, exact_row_);
  Prepare(msi, database, kNamedRowsStatement, named_rows_);
}

bool PropertyWriter::Apply(const PropertyAssignment& assignment) {
  const std::u16string& name = assignment.Name;
  const std::u16string& value = assignment.Value;
  // One record serves every statement that takes the value: a value can be as long
  // as the property file, and is copied once.
  tool::ScopedMsiHandle both(msi_, MakeRecord(msi_, {&value, &name}));

  const auto inserted = Execute(msi_, insert_, both.get());
  platform::Print(inserted == ERROR_SUCCESS ? u"Successfully inserting property %s as value %s\n"
                                            : u"Error in inserting property %s as value %s\n",
                  {name, value});

  const auto updated = Execute(msi_, update_, both.get());
  // Success only when the table now holds the row, with this very value, once: a
  // statement can succeed without setting it (an extra NOT NULL column refusing the
  // INSERT while the UPDATE matches nothing, a key held twice).
  bool ok = updated == ERROR_SUCCESS && CountRows(msi_, exact_row_, both.get()) == 1;
  if (ok) {
    tool::ScopedMsiHandle name_only(msi_, MakeRecord(msi_, {&name}));
    ok = CountRows(msi_, named_rows_, name_only.get()) == 1;
  }
  platform::Print(ok ? u"Successfully updating property %s as value %s\n"
                     : u"Error in updating property %s as value %s\n",
                  {name, value});
  // Why the statement itself failed (text the codepage cannot hold, for one).
  if (updated && *updated != ERROR_SUCCESS) tool::ReportLastInstallerError(msi_, *updated);
  return ok;
}

PropertyReader::PropertyReader(installer::InstallerDatabase& msi, MSIHANDLE database) : msi_(msi), view_(msi, 0) {
  Prepare(msi, database, kValueStatement, view_);
}

std::optional<std::u16string> PropertyReader::Value(const std::u16string& name) {
  tool::ScopedMsiHandle record(msi_, MakeRecord(msi_, {&name}));
  if (view_.get() == 0 || msi_.MsiViewExecute(view_.get(), record.get()) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::u16string> value;
  tool::ScopedMsiHandle row(msi_, 0);
  if (msi_.MsiViewFetch(view_.get(), row.out()) == ERROR_SUCCESS) value = FieldText(msi_, row.get(), 1);
  msi_.MsiViewClose(view_.get());
  return value;
}

}  // namespace mkx::properties
