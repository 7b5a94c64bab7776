// Records, handles, reading rows back through views, error records and record
// formatting.
#include <gtest/gtest.h>

#include "installer/installer_database.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::installer {
namespace {

std::u16string GetString(InstallerDatabase& msi, MSIHANDLE record, UINT field) {
  DWORD size = 0;
  char16_t empty[1] = {};
  UINT r = msi.MsiRecordGetStringW(record, field, empty, &size);
  if (r == ERROR_SUCCESS) return {};
  EXPECT_EQ(r, ERROR_MORE_DATA);
  std::u16string buffer(size + 1, u'\0');
  DWORD capacity = size + 1;
  EXPECT_EQ(msi.MsiRecordGetStringW(record, field, buffer.data(), &capacity), ERROR_SUCCESS);
  EXPECT_EQ(capacity, size);
  buffer.resize(size);
  return buffer;
}

TEST(RecordTest, FieldsHoldStringsAndNulls) {
  InstallerDatabase msi;
  MSIHANDLE record = msi.MsiCreateRecord(3);
  ASSERT_NE(record, 0u);
  EXPECT_EQ(GetString(msi, record, 1), u"") << "a new field is null";

  EXPECT_EQ(msi.MsiRecordSetStringW(record, 1, u"text"), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 3, u""), ERROR_SUCCESS);  // empty = null
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 4, u"x"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetString(msi, record, 1), u"text");
  EXPECT_EQ(GetString(msi, record, 3), u"");
  EXPECT_EQ(GetString(msi, record, 99), u"") << "a field past the end reads as empty";
  // Any 16-bit text reads back exactly: non-ASCII, a surrogate pair, unpaired surrogates.
  const char16_t high = 0xD800, low = 0xDC00;
  for (const std::u16string& text : {std::u16string(u"\u041F\u0440\u0438"), std::u16string{high, low},
                                     std::u16string{u'a', high, u'b'}, std::u16string{low, high}}) {
    EXPECT_EQ(msi.MsiRecordSetStringW(record, 2, text.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(GetString(msi, record, 2), text);
  }

  EXPECT_EQ(msi.MsiCloseHandle(record), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiCloseHandle(record), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(msi.MsiRecordGetStringW(record, 1, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 1, u"x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiCloseHandle(0), ERROR_SUCCESS);
  EXPECT_EQ(msi.open_handle_count(), 0u);
}

TEST(RecordTest, StringBufferProtocol) {
  InstallerDatabase msi;
  MSIHANDLE record = msi.MsiCreateRecord(1);
  msi.MsiRecordSetStringW(record, 1, u"abcdef");
  char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
  DWORD size = 4;
  EXPECT_EQ(msi.MsiRecordGetStringW(record, 1, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::u16string(buffer), u"abc");  // truncated and terminated
  size = 7;
  char16_t full[7];
  EXPECT_EQ(msi.MsiRecordGetStringW(record, 1, full, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::u16string(full), u"abcdef");
  size = 0;
  EXPECT_EQ(msi.MsiRecordGetStringW(record, 1, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  msi.MsiCloseHandle(record);
}

// The tool's statements through view handles, then a property read back with
// MsiViewFetch, each value once and then ERROR_NO_MORE_ITEMS.
TEST(ViewTest, PropertiesReadBackThroughFetch) {
  test::TempDir dir;
  const std::string path = dir.File("copy.msi");
  test::CopyFile(test::BuiltFixture("minimal.msi"), path);
  InstallerDatabase msi;
  MSIHANDLE db = 0;
  ASSERT_EQ(msi.MsiOpenDatabaseW(platform::Widen(path).c_str(), MSIDBOPEN_TRANSACT, &db), ERROR_SUCCESS);

  auto run = [&](const char16_t* query, std::vector<const char16_t*> params, MSIHANDLE* out) {
    MSIHANDLE view = 0;
    EXPECT_EQ(msi.MsiDatabaseOpenViewW(db, query, &view), ERROR_SUCCESS);
    MSIHANDLE record = msi.MsiCreateRecord(static_cast<UINT>(params.size()));
    for (size_t i = 0; i < params.size(); ++i) msi.MsiRecordSetStringW(record, static_cast<UINT>(i + 1), params[i]);
    const UINT result = msi.MsiViewExecute(view, record);
    msi.MsiCloseHandle(record);
    *out = view;
    return result;
  };
  MSIHANDLE insert = 0;
  ASSERT_EQ(run(u"INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)", {u"NEWPROP", u"new"}, &insert),
            ERROR_SUCCESS);
  MSIHANDLE row = 7;
  EXPECT_EQ(msi.MsiViewFetch(insert, &row), ERROR_FUNCTION_FAILED) << "an INSERT has no rows";
  EXPECT_EQ(row, 0u);
  msi.MsiCloseHandle(insert);
  MSIHANDLE update = 0;
  ASSERT_EQ(run(u"UPDATE `Property` SET `Value` = ? WHERE `Property` = ?", {u"changed", u"MYPROP"}, &update),
            ERROR_SUCCESS);
  msi.MsiCloseHandle(update);

  const struct {
    const char16_t* name;
    const char16_t* value;  // nullptr: no such row
  } cases[] = {{u"NEWPROP", u"new"}, {u"MYPROP", u"changed"}, {u"MyProp", u"mixed case twin"},
               {u"Missing", nullptr}};
  // One prepared view, executed again for each name after MsiViewClose.
  MSIHANDLE select = 0;
  ASSERT_EQ(msi.MsiDatabaseOpenViewW(db, u"SELECT `Property`, `Value` FROM `Property` WHERE `Property` = ?", &select),
            ERROR_SUCCESS);
  for (const auto& c : cases) {
    MSIHANDLE name = msi.MsiCreateRecord(1);
    msi.MsiRecordSetStringW(name, 1, c.name);
    ASSERT_EQ(msi.MsiViewExecute(select, name), ERROR_SUCCESS);
    msi.MsiCloseHandle(name);
    if (c.value) {
      ASSERT_EQ(msi.MsiViewFetch(select, &row), ERROR_SUCCESS);
      EXPECT_EQ(GetString(msi, row, 1), c.name);
      EXPECT_EQ(GetString(msi, row, 2), c.value);
      msi.MsiCloseHandle(row);
    }
    EXPECT_EQ(msi.MsiViewFetch(select, &row), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(row, 0u);
    EXPECT_EQ(msi.MsiViewClose(select), ERROR_SUCCESS);
  }
  EXPECT_EQ(msi.MsiViewFetch(select, &row), ERROR_FUNCTION_FAILED) << "closed: no rows until executed again";
  msi.MsiCloseHandle(select);
  EXPECT_EQ(msi.MsiViewFetch(db, &row), ERROR_INVALID_HANDLE) << "a database is not a view";
  msi.MsiCloseHandle(db);
  EXPECT_EQ(msi.open_handle_count(), 0u);
}

TEST(FormatRecordTest, TemplateOrNumberedFields) {
  struct Case {
    std::vector<engine::Value> fields;
    std::u16string text;
  } cases[] = {
      {{engine::Value::String("Database: [2]. Error [3]."), engine::Value::Integer(2203),
        engine::Value::String("a.msi"), engine::Value::String("gone")},
       u"Database: a.msi. Error gone."},
      {{engine::Value::Null(), engine::Value::Integer(2203), engine::Value::String("a.msi")},
       u"1: 2203 2: a.msi"},
      {{engine::Value::String("[1] [9] [x] [] [2"), engine::Value::Integer(7)}, u"7  [x] [] [2"},
      {{engine::Value::String("no fields")}, u"no fields"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatRecordText(Record{c.fields}), c.text);
}

TEST(FormatRecordTest, LengthProtocolOfTheLastErrorRecord) {
  InstallerDatabase msi;
  ClearLastError();
  EXPECT_EQ(msi.MsiGetLastErrorRecord(), 0u);

  SetLastError(Error(ERROR_CREATE_FAILED, 2203, u"Database: [2]. Cannot open. [3]",
                     {u"/x/y.mst", u"No such file or directory"}));
  MSIHANDLE record = msi.MsiGetLastErrorRecord();
  ASSERT_NE(record, 0u);
  EXPECT_EQ(msi.MsiGetLastErrorRecord(), 0u);  // handed out once
  EXPECT_EQ(GetString(msi, record, 1), u"2203");

  char16_t empty[1] = {};
  DWORD length = 0;
  ASSERT_EQ(msi.MsiFormatRecordW(0, record, empty, &length), ERROR_MORE_DATA);
  const std::u16string expected = u"Database: /x/y.mst. Cannot open. No such file or directory";
  EXPECT_EQ(length, expected.size());
  std::u16string buffer(length + 1, u'\0');
  DWORD capacity = length + 1;
  ASSERT_EQ(msi.MsiFormatRecordW(0, record, buffer.data(), &capacity), ERROR_SUCCESS);
  EXPECT_EQ(capacity, expected.size());
  EXPECT_EQ(buffer.substr(0, capacity), expected);

  EXPECT_EQ(msi.MsiFormatRecordW(5, record, buffer.data(), &capacity), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiFormatRecordW(0, record + 100, buffer.data(), &capacity), ERROR_INVALID_HANDLE);
  msi.MsiCloseHandle(record);
}

TEST(DatabaseHandleTest, OpenFailuresAndInvalidHandles) {
  InstallerDatabase msi;
  MSIHANDLE db = 123;
  EXPECT_EQ(msi.MsiOpenDatabaseW(u"/no/such/file.msi", MSIDBOPEN_READONLY, &db), ERROR_OPEN_FAILED);
  EXPECT_EQ(db, 0u);
  MSIHANDLE error = msi.MsiGetLastErrorRecord();
  ASSERT_NE(error, 0u);
  EXPECT_EQ(GetString(msi, error, 1), u"2203");
  msi.MsiCloseHandle(error);

  EXPECT_EQ(msi.MsiDatabaseCommit(77), ERROR_INVALID_HANDLE);
  MSIHANDLE view = 0;
  EXPECT_EQ(msi.MsiDatabaseOpenViewW(77, u"SELECT * FROM Property", &view), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiViewExecute(77, 0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiDatabaseGenerateTransformW(77, 78, u"x.mst", 0, 0), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace mkx::installer
