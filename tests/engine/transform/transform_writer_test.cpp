#include "engine/transform/transform_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "engine/stream_name.h"
#include "engine/transform/pair_fixture.h"
#include "engine/transform/transform_records.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using namespace mkx::test;
using Bytes = std::vector<uint8_t>;

const TransformStream* FindStream(const std::vector<TransformStream>& streams, std::u16string_view logical,
                                  bool table) {
  const std::u16string name = EncodeStreamName(logical, table);
  for (const TransformStream& s : streams) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

std::vector<std::string> PoolStrings(const std::vector<TransformStream>& streams) {
  const TransformStream* pool = FindStream(streams, u"_StringPool", true);
  const TransformStream* data = FindStream(streams, u"_StringData", true);
  std::vector<std::string> out;
  if (!pool || !data) return out;
  size_t at = 0;
  for (size_t i = 4; i + 4 <= pool->data.size(); i += 4) {
    const size_t len = pool->data[i] | (pool->data[i + 1] << 8);
    EXPECT_NE(pool->data[i + 2] | (pool->data[i + 3] << 8), 0) << "unreferenced string " << out.size() + 1;
    out.emplace_back(data->data.begin() + at, data->data.begin() + at + len);
    at += len;
  }
  EXPECT_EQ(at, data->data.size());
  return out;
}

class TransformWriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    base_ = BuildBase(*dir_);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // A copy of the base database, changed by `change`.
  std::string Changed(const std::function<void(const std::string&)>& change) {
    const std::string path = work_.File("changed.msi");
    CopyFile(base_, path);
    change(path);
    return path;
  }

  Result<std::vector<TransformStream>> Streams(const std::string& changed) {
    auto db = OpenDb(changed);
    auto ref = OpenDb(base_);
    if (!db || !ref) return Error(result_code::kOpenFailed);
    return BuildTransformStreams(*db, *ref);
  }

  static TempDir* dir_;
  static std::string base_;
  TempDir work_;
};

TempDir* TransformWriterTest::dir_ = nullptr;
std::string TransformWriterTest::base_;

// Every kind of change, applied by Wine's installer and compared with the database
// msibuild made directly.
TEST_F(TransformWriterTest, OracleAppliesEveryKindOfChangeExactly) {
  if (!HaveWine()) GTEST_SKIP() << "Wine is needed to apply transforms";
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
  };
  const Case cases[] = {
      {"rows deleted in other tables",
       [](const std::string& db) {
         Sql(db, {"DELETE FROM `AdminExecuteSequence` WHERE `Action`='CostFinalize'",
                  "DELETE FROM `Property` WHERE `Property`='MYPROP'", "DELETE FROM `Wide` WHERE `K`='r3'"});
       }},
      {"20-column row changed in column 18",
       [](const std::string& db) { Sql(db, {"UPDATE `Wide` SET `C18`='NEW18' WHERE `K`='r2'"}); }},
      {"updates within 16 columns, integers, inserts",
       [](const std::string& db) {
         Sql(db, {"UPDATE `Wide` SET `C5`=-7, `C12`=99, `C16`='x' WHERE `K`='r1'",
                  "UPDATE `Wide` SET `C3`='' WHERE `K`='r3'",
                  "UPDATE `Property` SET `Value`='changed' WHERE `Property`='MYPROP'",
                  "INSERT INTO `Property` (`Property`, `Value`) VALUES ('NEWPROP', 'new value')",
                  "INSERT INTO `Wide` (`K`, `C5`, `C20`) VALUES ('r0', 1, 'last')"});
       }},
      {"table added",
       [](const std::string& db) {
         Sql(db, {"CREATE TABLE `NewT` (`NK` CHAR(20) NOT NULL, `NV` SHORT, `NL` LONG PRIMARY KEY `NK`)",
                  "INSERT INTO `NewT` (`NK`, `NV`, `NL`) VALUES ('b', 2, 70000)",
                  "INSERT INTO `NewT` (`NK`, `NV`) VALUES ('a', -1)"});
       }},
      {"table dropped", [](const std::string& db) { Sql(db, {"DROP TABLE `Drop`"}); }},
      {"column added, no values",
       [](const std::string& db) { Sql(db, {"ALTER TABLE `Grow` ADD `GN` CHAR(30)"}); }},
      {"column added with values",
       [](const std::string& db) {
         Sql(db, {"ALTER TABLE `Grow` ADD `GN` CHAR(30)", "UPDATE `Grow` SET `GN`='n1' WHERE `GK`='g1'",
                  "INSERT INTO `Grow` (`GK`, `GV`, `GN`) VALUES ('g3', 'three', 'n3')"});
       }},
      {"Binary row inserted",
       [](const std::string& db) {
         ImportBinary(db, {{"b1", "eighteen bytes!!!\n"}, {"b2", std::string(5000, 'q')},
                           {"b3", std::string(9000, 'z')}});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string changed = Changed(c.change);
    const std::string mst = work_.File(std::string(c.name) + ".mst");
    auto db = OpenDb(changed);
    auto ref = OpenDb(base_);
    ASSERT_TRUE(db && ref);
    Status s = GenerateTransform(*db, *ref, mst);
    ASSERT_TRUE(s.ok()) << s.code();
    EXPECT_EQ(ApplyAndDiff(base_, mst, changed), "");
  }
}

// Databases of different string-reference widths and codepages, and a transform large
// enough to need 3-byte references.
TEST_F(TransformWriterTest, OracleAppliesTransformsBetweenUnrelatedFixtures) {
  if (!HaveWine()) GTEST_SKIP() << "Wine is needed to apply transforms";
  // many-strings.msi without its 80,000-string table, still with 3-byte references
  // (Wine cannot widen the references of a 2-byte database while applying).
  const std::string few_strings = work_.File("few-strings.msi");
  CopyFile(BuiltFixture("many-strings.msi"), few_strings);
  Sql(few_strings, {"DROP TABLE `ManyStrings`"});
  struct Case {
    std::string reference;
    std::string database;
    bool long_refs;
    uint32_t code;
  };
  const Case cases[] = {
      {BuiltFixture("minimal.msi"), BuiltFixture("cp1252.msi"), false, result_code::kSuccess},
      {BuiltFixture("cp65001.msi"), BuiltFixture("cp932.msi"), false, result_code::kSuccess},
      // Same text in another codepage: nothing a transform carries differs.
      {BuiltFixture("cp1252.msi"), BuiltFixture("cp65001.msi"), false, result_code::kNoData},
      {few_strings, BuiltFixture("many-strings.msi"), true, result_code::kSuccess},
      {BuiltFixture("many-strings.msi"), BuiltFixture("minimal.msi"), false, result_code::kSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference + " -> " + c.database);
    auto db = OpenDb(c.database);
    auto ref = OpenDb(c.reference);
    ASSERT_TRUE(db && ref);
    auto streams = BuildTransformStreams(*db, *ref);
    ASSERT_EQ(streams.code(), c.code);
    if (!streams.ok()) continue;
    const TransformStream* pool = FindStream(*streams, u"_StringPool", true);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->data[3] == 0x80, c.long_refs);
    EXPECT_EQ((pool->data[0] | pool->data[1] << 8), static_cast<int>(db->codepage()));
    if (c.long_refs) {
      // 40,000 rows of two fresh strings each, all with 3-byte references.
      const TransformStream* rows = FindStream(*streams, u"ManyStrings", true);
      ASSERT_NE(rows, nullptr);
      const CellKind kinds[] = {CellKind::kString, CellKind::kString};
      auto records = DecodeRecords(rows->data, kinds, 1, 3);
      ASSERT_TRUE(records.ok());
      ASSERT_EQ(records->size(), 40000u);
      const std::vector<std::string> strings = PoolStrings(*streams);
      const TransformRecord& last = records->back();
      EXPECT_EQ(last.mask, record_mask::Insert(2));
      ASSERT_LE(last.fields[1].value, strings.size());
      EXPECT_EQ(strings[last.fields[0].value - 1], "Key040000");
      EXPECT_EQ(strings[last.fields[1].value - 1], "Text number 040000");
      // Wine needs over half a minute to apply 40,000 inserts.
      if (!std::getenv("MKX_SLOW_TESTS")) continue;
    }
    const std::string mst = work_.File("t.mst");
    ASSERT_TRUE(GenerateTransform(*db, *ref, mst).ok());
    // A transform cannot change the database codepage (Wine keeps the base's).
    EXPECT_EQ(ApplyAndDiff(c.reference, mst, c.database, {"codepage:"}), "");
  }
}

TEST_F(TransformWriterTest, RecordsFollowTheWrittenConventions) {
  const std::string changed = Changed([](const std::string& db) {
    Sql(db, {"UPDATE `Wide` SET `C18`='NEW18', `C3`='NEW3' WHERE `K`='r2'",
             "UPDATE `Property` SET `Value`='changed' WHERE `Property`='MYPROP'",
             "DELETE FROM `Property` WHERE `Property`='INSTALLDIR'",
             "INSERT INTO `Property` (`Property`, `Value`) VALUES ('AAA', 'first')", "DROP TABLE `Drop`",
             "ALTER TABLE `Grow` ADD `GN` CHAR(30)"});
  });
  auto streams = Streams(changed);
  ASSERT_TRUE(streams.ok()) << streams.code();
  const std::vector<std::string> pool = PoolStrings(*streams);
  auto id = [&](const std::string& s) -> uint8_t {
    auto it = std::find(pool.begin(), pool.end(), s);
    EXPECT_NE(it, pool.end()) << s;
    return static_cast<uint8_t>(it - pool.begin() + 1);
  };
  struct Expect {
    std::u16string stream;
    Bytes bytes;
  };
  const Expect expected[] = {
      // Key order: AAA insert, INSTALLDIR delete, MYPROP update.
      {u"Property", {0x01, 0x02, id("AAA"), 0, id("first"), 0, 0, 0, id("INSTALLDIR"), 0, 0x02, 0x00, id("MYPROP"), 0,
                     id("changed"), 0}},
      {u"_Tables", {0, 0, id("Drop"), 0}},
      // Added column with its real number; dropped table's columns by explicit number.
      {u"_Columns", {0, 0, id("Drop"), 0, 0x01, 0x80, 0, 0, id("Drop"), 0, 0x02, 0x80,
                     0x01, 0x04, id("Grow"), 0, 0x03, 0x80, id("GN"), 0, 0x1E, 0x9D}},
      // The table that gained a column gets a no-op record: column 3 of g1 set to null.
      {u"Grow", {0x04, 0x00, id("g1"), 0, 0, 0}},
  };
  for (const Expect& e : expected) {
    const TransformStream* s = FindStream(*streams, e.stream, true);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->data, e.bytes) << std::string(e.stream.begin(), e.stream.end());
  }
  // Column 18 changed: DELETE then INSERT of the whole 20-column row.
  const TransformStream* wide = FindStream(*streams, u"Wide", true);
  ASSERT_NE(wide, nullptr);
  ASSERT_EQ(wide->data.size(), 4u + 2 + 2 + 17 * 2 + 2 + 4);
  EXPECT_EQ(Bytes(wide->data.begin(), wide->data.begin() + 6), (Bytes{0, 0, id("r2"), 0, 0x01, 0x14}));
  EXPECT_EQ(wide->data[10], id("NEW3"));
  EXPECT_EQ(Bytes(wide->data.begin() + 14, wide->data.begin() + 16), (Bytes{10, 0x80}));  // C5 = 10
  // Tables without changes have no stream; the dropped table has no rows stream.
  EXPECT_EQ(FindStream(*streams, u"Drop", true), nullptr);
  EXPECT_EQ(FindStream(*streams, u"AdminExecuteSequence", true), nullptr);
  // Strings in order of first use, each once.
  EXPECT_EQ(std::set<std::string>(pool.begin(), pool.end()).size(), pool.size());
}

// Changed stream data of an existing row: an UPDATE of the data column plus the data.
TEST_F(TransformWriterTest, ChangedBinaryDataIsAnUpdateWithTheDataStream) {
  const std::string big(70000, 'w');
  const std::string changed = Changed([&](const std::string& db) {
    ImportBinary(db, {{"b1", "eighteen bytes!!?\n"}, {"b2", big}});
  });
  auto streams = Streams(changed);
  ASSERT_TRUE(streams.ok()) << streams.code();
  const std::vector<std::string> pool = PoolStrings(*streams);
  ASSERT_EQ(pool, (std::vector<std::string>{"b1", "b2"}));
  const TransformStream* binary = FindStream(*streams, u"Binary", true);
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(binary->data, (Bytes{0x02, 0, 1, 0, 1, 0, 0x02, 0, 2, 0, 1, 0}));
  const TransformStream* b1 = FindStream(*streams, u"Binary.b1", false);
  const TransformStream* b2 = FindStream(*streams, u"Binary.b2", false);
  ASSERT_TRUE(b1 && b2);
  EXPECT_EQ(std::string(b1->data.begin(), b1->data.end()), "eighteen bytes!!?\n");
  EXPECT_EQ(std::string(b2->data.begin(), b2->data.end()), big);
}

void ExpectFillerInsertAndUpdate(const std::vector<TransformStream>& streams);

// A row deleted and added again once its key string's slot went to another string:
// the key is then a string added at a new id, held by the reference at an id where
// the pools differ. The row must still be matched, and its change be one update.
TEST_F(TransformWriterTest, KeyReaddedAtANewIdStillMatchesItsRow) {
  const std::string changed = Changed([](const std::string&) {});
  uint32_t ref_key = 0;
  {
    auto ref = OpenDb(base_);
    ASSERT_TRUE(ref);
    ref_key = ref->strings().FindText(u"MYPROP");
    ASSERT_NE(ref_key, 0u);
  }
  {
    auto db = Database::Open(changed, OpenMode::kTransact);
    ASSERT_TRUE(db.ok());
    Database& d = **db;
    auto table = d.GetTable(u"Property");
    ASSERT_TRUE(table.ok());
    Table& t = **table;
    auto row = t.FindByKey(std::span<const uint32_t>(&ref_key, 1));
    ASSERT_TRUE(row.has_value());
    t.EraseRow(*row);
    ASSERT_TRUE(d.Commit().ok());
    ASSERT_EQ(d.strings().FindText(u"MYPROP"), 0u) << "the key string was freed";
    // Another row takes the freed slot, then the row comes back with a new value.
    const uint32_t filler[] = {d.strings().InternText(u"FILLER"), d.strings().InternText(u"x")};
    ASSERT_EQ(filler[0], ref_key);
    t.AppendRow(filler);
    const uint32_t again[] = {d.strings().InternText(u"MYPROP"), d.strings().InternText(u"again")};
    ASSERT_NE(again[0], ref_key);
    t.AppendRow(again);
    ASSERT_TRUE(d.Commit().ok());
    // Compared both as committed in memory and as reopened from the file.
    auto ref = OpenDb(base_);
    ASSERT_TRUE(ref);
    auto in_memory = BuildTransformStreams(d, *ref);
    ASSERT_TRUE(in_memory.ok()) << in_memory.code();
    auto from_file = Streams(changed);
    ASSERT_TRUE(from_file.ok()) << from_file.code();
    for (const auto* streams : {&*in_memory, &*from_file}) {
      ExpectFillerInsertAndUpdate(*streams);
    }
  }
}

void ExpectFillerInsertAndUpdate(const std::vector<TransformStream>& streams) {
  const std::vector<std::string> pool = PoolStrings(streams);
  auto id = [&](const std::string& s) -> uint8_t {
    auto it = std::find(pool.begin(), pool.end(), s);
    EXPECT_NE(it, pool.end()) << s;
    return static_cast<uint8_t>(it - pool.begin() + 1);
  };
  const TransformStream* property = FindStream(streams, u"Property", true);
  ASSERT_NE(property, nullptr);
  // Key order: FILLER inserted, MYPROP updated (not deleted and inserted again).
  EXPECT_EQ(property->data, (Bytes{0x01, 0x02, id("FILLER"), 0, id("x"), 0, 0x02, 0x00, id("MYPROP"), 0,
                                   id("again"), 0}));
}

TEST_F(TransformWriterTest, IdenticalDatabasesGiveNoDataAndNoFile) {
  const std::string copy = Changed([](const std::string&) {});
  auto db = OpenDb(copy);
  auto ref = OpenDb(base_);
  ASSERT_TRUE(db && ref);
  const std::string mst = work_.File("t.mst");
  EXPECT_EQ(GenerateTransform(*db, *ref, mst).code(), result_code::kNoData);
  EXPECT_FALSE(FileExists(mst));
  WriteText(mst, "old");
  EXPECT_EQ(GenerateTransform(*db, *ref, mst).code(), result_code::kNoData);
  EXPECT_EQ(ReadText(mst), "old");
}

TEST_F(TransformWriterTest, FailedWritesLeaveNothingBehind) {
  const std::string changed = Changed([](const std::string& db) {
    Sql(db, {"UPDATE `Property` SET `Value`='changed' WHERE `Property`='MYPROP'"});
  });
  auto db = OpenDb(changed);
  auto ref = OpenDb(base_);
  ASSERT_TRUE(db && ref);

  const std::string missing = work_.File("no-such-dir/t.mst");
  Status s = GenerateTransform(*db, *ref, missing);
  EXPECT_EQ(s.code(), result_code::kCreateFailed);
  ASSERT_GE(s.error().fields.size(), 2u);
  EXPECT_EQ(s.error().fields[0], platform::Widen(missing));
  EXPECT_FALSE(s.error().fields[1].empty());
  EXPECT_FALSE(FileExists(missing));

  // The target is a directory: the rename fails, the temporary file goes away.
  TempDir dir;
  const std::string occupied = dir.File("occupied");
  std::filesystem::create_directory(occupied);
  WriteText(occupied + "/keep", "x");
  EXPECT_EQ(GenerateTransform(*db, *ref, occupied).code(), result_code::kCreateFailed);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
  EXPECT_EQ(ReadText(occupied + "/keep"), "x");

  // Success replaces an existing file with a transform.
  const std::string mst = dir.File("t.mst");
  WriteText(mst, "old");
  ASSERT_TRUE(GenerateTransform(*db, *ref, mst).ok());
  const Bytes written = ReadBytes(mst);
  ASSERT_GE(written.size(), 512u);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0xD0, 0xCF, 0x11, 0xE0}));
}

TEST_F(TransformWriterTest, RefusesColumnChangesATransformCannotCarry) {
  const std::string changed = Changed([](const std::string& db) {
    Sql(db, {"DROP TABLE `Grow`", "CREATE TABLE `Grow` (`GK` CHAR(20) NOT NULL, `Other` CHAR(40) PRIMARY KEY `GK`)"});
  });
  auto streams = Streams(changed);
  EXPECT_EQ(streams.code(), result_code::kInvalidTable);
}

// A change to a row whose key another row holds too: no record could say which of
// the two it changes, though both tables hold the same keys in the same order.
TEST(TransformDiffTest, RefusesAChangeToAKeyTwoRowsHold) {
  TempDir dir;
  const std::string base = dir.File("base.msi");
  const std::string changed = dir.File("changed.msi");
  CopyFile(BuiltFixture("minimal.msi"), base);
  ASSERT_EQ(test::Run({"/usr/bin/python3", "-c", kTwinNamePatch, base}).exit_code, 0);  // two rows of MYPROP
  CopyFile(base, changed);
  Sql(changed, {"UPDATE `Property` SET `Value`='x' WHERE `Property`='MYPROP'"});
  auto db = OpenDb(changed);
  auto ref = OpenDb(base);
  ASSERT_TRUE(db && ref);
  auto streams = BuildTransformStreams(*db, *ref);
  ASSERT_EQ(streams.code(), result_code::kInvalidTable);
  EXPECT_EQ(streams.error().fields.back(), u"two of its rows hold the key MYPROP");
}

}  // namespace
}  // namespace mkx::engine
