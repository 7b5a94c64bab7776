// Records, handles, error records and record formatting.
#include <gtest/gtest.h>

#include "installer/installer_database.h"

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

TEST(RecordTest, FieldsHoldStringsIntegersAndNulls) {
  InstallerDatabase msi;
  MSIHANDLE record = msi.MsiCreateRecord(3);
  ASSERT_NE(record, 0u);
  EXPECT_EQ(msi.MsiRecordGetFieldCount(record), 3u);
  EXPECT_TRUE(msi.MsiRecordIsNull(record, 1));

  EXPECT_EQ(msi.MsiRecordSetStringW(record, 1, u"text"), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiRecordSetInteger(record, 2, -42), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 3, u""), ERROR_SUCCESS);  // empty = null
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 4, u"x"), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(GetString(msi, record, 1), u"text");
  EXPECT_EQ(GetString(msi, record, 2), u"-42");
  EXPECT_TRUE(msi.MsiRecordIsNull(record, 3));
  EXPECT_TRUE(msi.MsiRecordIsNull(record, 99));
  EXPECT_EQ(msi.MsiRecordGetInteger(record, 2), -42);
  EXPECT_EQ(msi.MsiRecordGetInteger(record, 1), MSI_NULL_INTEGER);
  EXPECT_EQ(msi.MsiRecordSetStringW(record, 1, u"123"), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiRecordGetInteger(record, 1), 123);
  EXPECT_EQ(msi.MsiRecordSetInteger(record, 2, MSI_NULL_INTEGER), ERROR_SUCCESS);
  EXPECT_TRUE(msi.MsiRecordIsNull(record, 2));

  EXPECT_EQ(msi.MsiCloseHandle(record), ERROR_SUCCESS);
  EXPECT_EQ(msi.MsiCloseHandle(record), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiRecordGetFieldCount(record), static_cast<UINT>(-1));
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

TEST(FormatRecordTest, TemplateOrNumberedFields) {
  struct Case {
    std::vector<engine::Value> fields;
    std::u16string text;
  } cases[] = {
      {{engine::Value::String(u"Database: [2]. Error [3]."), engine::Value::Integer(2203),
        engine::Value::String(u"a.msi"), engine::Value::String(u"gone")},
       u"Database: a.msi. Error gone."},
      {{engine::Value::Null(), engine::Value::Integer(2203), engine::Value::String(u"a.msi")},
       u"1: 2203 2: a.msi"},
      {{engine::Value::String(u"[1] [9] [x] [] [2"), engine::Value::Integer(7)}, u"7  [x] [] [2"},
      {{engine::Value::String(u"no fields")}, u"no fields"},
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
  EXPECT_EQ(msi.MsiRecordGetInteger(record, 1), 2203);

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
  EXPECT_EQ(msi.MsiRecordGetInteger(error, 1), 2203);
  msi.MsiCloseHandle(error);

  EXPECT_EQ(msi.MsiDatabaseCommit(77), ERROR_INVALID_HANDLE);
  MSIHANDLE view = 0;
  EXPECT_EQ(msi.MsiDatabaseOpenViewW(77, u"SELECT * FROM Property", &view), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiViewExecute(77, 0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(msi.MsiDatabaseGenerateTransformW(77, 78, u"x.mst", 0, 0), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace mkx::installer
