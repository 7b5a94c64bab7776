// Commit: changes made through the Table API are written back in place, checked with
// our own reader and with the independent oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "engine/database.h"
#include "engine/stream_name.h"
#include "engine/table_dump.h"
#include "platform/utf8.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using test::TempDir;

std::unique_ptr<Database> OpenOrFail(const std::string& path, OpenMode mode) {
  auto db = Database::Open(path, mode);
  if (!db.ok()) {
    ADD_FAILURE() << path << ": open failed, code " << db.code();
    return nullptr;
  }
  return std::move(db).value();
}

Table* PropertyTable(Database& db) {
  auto table = db.GetTable(u"Property");
  EXPECT_TRUE(table.ok());
  return table.ok() ? *table : nullptr;
}

void SetProperty(Database& db, Table& table, std::u16string_view name, std::u16string_view value) {
  uint32_t key = db.strings().InternText(name);
  uint32_t v = db.strings().InternText(value);
  if (auto row = table.FindByKey(std::span<const uint32_t>(&key, 1))) {
    table.SetCell(*row, 1, v);
  } else {
    uint32_t cells[] = {key, v};
    table.AppendRow(cells);
  }
}

std::optional<std::u16string> GetProperty(Database& db, std::u16string_view name) {
  Table* table = PropertyTable(db);
  uint32_t key = db.strings().FindText(name);
  if (!table || key == 0) return std::nullopt;
  auto row = table->FindByKey(std::span<const uint32_t>(&key, 1));
  if (!row) return std::nullopt;
  return db.strings().Text(table->Cell(*row, 1));
}

/// Every stream of the root storage, by raw name.
std::map<std::u16string, std::vector<uint8_t>> AllStreams(const Database& db) {
  std::map<std::u16string, std::vector<uint8_t>> out;
  for (const auto& e : db.file().RootEntries()) {
    if (e.kind != compound::EntryKind::kStream) continue;
    auto bytes = db.file().ReadStream(e.name);
    EXPECT_TRUE(bytes.ok());
    if (bytes.ok()) out[e.name] = std::move(bytes).value();
  }
  return out;
}

/// The difference lines of an oracle diff report (without its "A: "/"B: " heading).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.rfind("A: ", 0) == 0 || line.rfind("B: ", 0) == 0) continue;
    out.push_back(line);
  }
  return out;
}

std::string Ascii(std::u16string_view s) { return std::string(s.begin(), s.end()); }

/// Our dump of a committed file must equal the oracle's.
void ExpectOracleAgrees(const std::string& path) {
  auto db = OpenOrFail(path, OpenMode::kReadOnly);
  if (!db) return;
  auto oracle = test::Run({test::OraclePath(), "dump", path});
  ASSERT_EQ(oracle.exit_code, 0) << oracle.err;
  EXPECT_EQ(test::DumpTables(*db), test::TablesSection(oracle.out));
}

TEST(DatabaseCommitTest, InsertUpdateDeleteOnEveryFixture) {
  for (const std::string& original : test::AllFixtureDatabases()) {
    SCOPED_TRACE(original);
    TempDir dir;
    const std::string work = dir.File("work.msi");
    test::CopyFile(original, work);
    std::u16string updated_key, deleted_key;
    std::map<std::u16string, std::vector<uint8_t>> before;
    {
      auto db = OpenOrFail(work, OpenMode::kTransact);
      ASSERT_TRUE(db);
      before = AllStreams(*db);
      Table* property = PropertyTable(*db);
      ASSERT_TRUE(property);
      ASSERT_GE(property->row_count(), 2u);
      updated_key = db->strings().Text(property->Cell(0, 0));
      deleted_key = db->strings().Text(property->Cell(1, 0));
      SetProperty(*db, *property, updated_key, u"updated by commit test");
      property->EraseRow(1);
      SetProperty(*db, *property, u"MKX_NEW_PROP", u"new value");
      EXPECT_TRUE(db->dirty());
      ASSERT_TRUE(db->Commit().ok());
      EXPECT_FALSE(db->dirty());
      // The handle stays usable after a commit.
      EXPECT_EQ(GetProperty(*db, u"MKX_NEW_PROP"), u"new value");
    }
    auto db = OpenOrFail(work, OpenMode::kReadOnly);
    ASSERT_TRUE(db);
    EXPECT_EQ(GetProperty(*db, updated_key), u"updated by commit test");
    EXPECT_EQ(GetProperty(*db, deleted_key), std::nullopt);
    EXPECT_EQ(GetProperty(*db, u"MKX_NEW_PROP"), u"new value");

    // Only the Property table and the pool were rewritten.
    auto after = AllStreams(*db);
    const std::u16string rewritten[] = {EncodeStreamName(u"Property", true),
                                        EncodeStreamName(u"_StringPool", true),
                                        EncodeStreamName(u"_StringData", true)};
    for (const auto& [name, bytes] : before) {
      if (std::find(std::begin(rewritten), std::end(rewritten), name) != std::end(rewritten)) {
        continue;
      }
      ASSERT_TRUE(after.count(name)) << Ascii(DecodeStreamName(name));
      EXPECT_TRUE(after[name] == bytes) << Ascii(DecodeStreamName(name));
    }
    EXPECT_EQ(after.size(), before.size());

    auto diff = test::Run({test::OraclePath(), "diff", original, work});
    EXPECT_EQ(diff.exit_code, 1) << diff.err;
    auto lines = Lines(diff.out);
    ASSERT_EQ(lines.size(), 3u) << diff.out;
    std::string all = diff.out;
    EXPECT_NE(all.find("row [" + Ascii(updated_key) + "] changed: Value:"), std::string::npos) << all;
    EXPECT_NE(all.find("row [" + Ascii(deleted_key) + "] only in A"), std::string::npos) << all;
    EXPECT_NE(all.find("row [MKX_NEW_PROP] only in B: MKX_NEW_PROP\tnew value"), std::string::npos)
        << all;
    ExpectOracleAgrees(work);
  }
}

TEST(DatabaseCommitTest, GrowsToThreeByteReferencesAndShrinksBack) {
  TempDir dir;
  const std::string original = test::BuiltFixture("minimal.msi");
  const std::string work = dir.File("work.msi");
  test::CopyFile(original, work);
  constexpr int kRows = 36000;  // two new strings each: past 65535 ids
  auto name_of = [](int i) {
    std::string n = std::to_string(i);
    return u"MKXP" + std::u16string(n.begin(), n.end());
  };
  uint32_t slots_before = 0;
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    slots_before = db->strings().slot_count();
    ASSERT_FALSE(db->strings().long_refs());
    Table* property = PropertyTable(*db);
    ASSERT_TRUE(property);
    for (int i = 0; i < kRows; ++i) {
      std::string n = std::to_string(i);
      SetProperty(*db, *property, name_of(i), u"value " + std::u16string(n.begin(), n.end()));
    }
    ASSERT_TRUE(db->Commit().ok());
    EXPECT_TRUE(db->strings().long_refs());
  }
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->strings().long_refs());
    EXPECT_GT(db->strings().slot_count(), 0xFFFFu);
    EXPECT_EQ(GetProperty(*db, name_of(kRows - 1)), u"value " + name_of(kRows - 1).substr(4));
  }
  ExpectOracleAgrees(work);

  // Deleting the rows again frees their strings; the file equals the original again
  // as far as any reader can tell.
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    Table* property = PropertyTable(*db);
    ASSERT_TRUE(property);
    for (size_t r = property->row_count(); r-- > 0;) {
      if (db->strings().Text(property->Cell(r, 0)).rfind(u"MKXP", 0) == 0) property->EraseRow(r);
    }
    ASSERT_TRUE(db->Commit().ok());
  }
  auto db = OpenOrFail(work, OpenMode::kReadOnly);
  ASSERT_TRUE(db);
  EXPECT_LE(db->strings().slot_count(), slots_before + 1);
  EXPECT_EQ(db->strings().FindText(u"value 5"), 0u);
  auto diff = test::Run({test::OraclePath(), "diff", original, work});
  EXPECT_EQ(diff.exit_code, 0) << diff.out << diff.err;
}

TEST(DatabaseCommitTest, DeletedRowsReleaseTheirStrings) {
  TempDir dir;
  const std::string original = test::BuiltFixture("with-files.msi");
  const std::string work = dir.File("work.msi");
  test::CopyFile(original, work);
  size_t data_before = 0, deleted = 0;
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    data_before = AllStreams(*db)[EncodeStreamName(u"_StringData", true)].size();
    auto file_table = db->GetTable(u"MsiFileHash");
    ASSERT_TRUE(file_table.ok());
    deleted = (*file_table)->row_count();
    ASSERT_GT(deleted, 0u);
    while ((*file_table)->row_count() > 0) (*file_table)->EraseRow(0);
    // A value only the Property table used goes too.
    SetProperty(*db, *PropertyTable(*db), u"MYPROP", u"x");
    ASSERT_TRUE(db->Commit().ok());
  }
  auto db = OpenOrFail(work, OpenMode::kReadOnly);
  ASSERT_TRUE(db);
  auto data_after = AllStreams(*db)[EncodeStreamName(u"_StringData", true)].size();
  EXPECT_LT(data_after, data_before);
  EXPECT_EQ(db->strings().FindText(u"Original value"), 0u);
  EXPECT_NE(db->strings().FindText(u"one.txt"), 0u);  // still used by File
  auto diff = test::Run({test::OraclePath(), "diff", original, work});
  EXPECT_EQ(diff.exit_code, 1);
  EXPECT_EQ(Lines(diff.out).size(), deleted + 1) << diff.out;
  ExpectOracleAgrees(work);

  // Reopened, the slots now stored unused stay so; a cell that refers to one (a
  // damaged table) fails the commit rather than read as whatever fills the slot.
  db = OpenOrFail(work, OpenMode::kTransact);
  ASSERT_TRUE(db);
  uint32_t unused = 0;
  for (uint32_t id = 1; id < db->strings().slot_count() && unused == 0; ++id) {
    if (db->strings().Bytes(id).empty()) unused = id;
  }
  ASSERT_NE(unused, 0u) << "the commit left a slot unused";
  Table* property = PropertyTable(*db);
  ASSERT_TRUE(property);
  SetProperty(*db, *property, u"NEWPROP", u"new value");
  EXPECT_GT(db->strings().FindText(u"new value"), unused) << "a slot stored unused is not filled";
  property->SetCell(0, 1, unused);
  Status committed = db->Commit();
  ASSERT_FALSE(committed.ok());
  EXPECT_NE(platform::ExactUtf8(committed.error().fields.back()).find("holds as unused"), std::string::npos);
}

TEST(DatabaseCommitTest, RowsGoIntoTablesThatHadNoStream) {
  TempDir dir;
  const std::string original = test::BuiltFixture("minimal.msi");
  const std::string work = dir.File("work.msi");
  test::CopyFile(original, work);
  std::vector<std::u16string> filled;
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    for (const std::u16string& name : db->TableNames()) {
      if (db->file().FindStream(EncodeStreamName(name, true))) continue;
      auto table = db->GetTable(name);
      ASSERT_TRUE(table.ok());
      EXPECT_EQ((*table)->row_count(), 0u);
      const auto& columns = (*table)->schema().columns;
      if (std::any_of(columns.begin(), columns.end(),
                      [](const ColumnInfo& c) { return c.kind() == CellKind::kStream; })) {
        continue;
      }
      std::vector<uint32_t> cells;
      for (const ColumnInfo& c : columns) {
        cells.push_back(c.kind() == CellKind::kString ? db->strings().InternText(u"x" + c.name)
                                                       : EncodeInteger(c.kind(), 1));
      }
      (*table)->AppendRow(cells);
      filled.push_back(name);
    }
    ASSERT_FALSE(filled.empty()) << "the fixture has no stream-less table";
    ASSERT_TRUE(db->Commit().ok());
  }
  auto diff = test::Run({test::OraclePath(), "diff", original, work});
  EXPECT_EQ(diff.exit_code, 1);
  auto lines = Lines(diff.out);
  ASSERT_EQ(lines.size(), filled.size()) << diff.out;
  for (const auto& line : lines) EXPECT_NE(line.find("only in B"), std::string::npos) << line;
  ExpectOracleAgrees(work);
}

TEST(DatabaseCommitTest, NothingIsWrittenWithoutChangesOrWhenReadOnly) {
  TempDir dir;
  const std::string work = dir.File("work.msi");
  test::CopyFile(test::BuiltFixture("minimal.msi"), work);
  const auto bytes = test::ReadBytes(work);
  {
    auto db = OpenOrFail(work, OpenMode::kReadOnly);
    ASSERT_TRUE(db);
    SetProperty(*db, *PropertyTable(*db), u"MYPROP", u"changed in memory only");
    EXPECT_TRUE(db->Commit().ok());
  }
  EXPECT_TRUE(test::ReadBytes(work) == bytes);
  {
    auto db = OpenOrFail(work, OpenMode::kTransact);
    ASSERT_TRUE(db);
    ASSERT_TRUE(PropertyTable(*db));
    db->strings().InternText(u"interned but never used");
    EXPECT_FALSE(db->dirty());
    EXPECT_TRUE(db->Commit().ok());
  }
  EXPECT_TRUE(test::ReadBytes(work) == bytes);
}

}  // namespace
}  // namespace mkx::engine
