// Statement execution against real databases: query results, changes and their
// refusals, parameters, read-only databases and commit.
#include "engine/sql/view.h"

#include <gtest/gtest.h>

#include <random>

#include "sql_test_util.h"

namespace mkx::sqltest {
namespace {

using engine::OpenMode;

struct SelectCase {
  const char* sql;
  std::vector<Value> params;
  Rows expected;
};

TEST(SqlView, SelectReturnsTheMatchingRows) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  const SelectCase cases[] = {
      {"SELECT `Value` FROM `Property` WHERE `Property` = 'ProductName'", {}, {{S("Oracle Minimal")}}},
      {"select Value from Property where Property='MYPROP'", {}, {{S("Original value")}}},
      {"SELECT Value FROM Property WHERE Property = 'MyProp'", {}, {{S("mixed case twin")}}},
      {"SELECT Value FROM Property WHERE Property = ?", {S("myprop")}, {{S("lower case twin")}}},
      {"SELECT Value FROM Property WHERE Property = 'NoSuchProperty'", {}, {}},
      {"SELECT Value FROM Property WHERE Property = ?", {N}, {}},
      // A non-key column is scanned.
      {"SELECT Property FROM Property WHERE Value = 'Fixture Works'", {}, {{S("Manufacturer")}}},
      {"SELECT Property FROM Property WHERE Value = ? AND Property = ?",
       {S("Fixture Works"), S("Manufacturer")}, {{S("Manufacturer")}}},
      // Integers compare numerically, negative ones included.
      {"SELECT Id FROM Num WHERE Id = -7", {}, {{I(-7)}}},
      {"SELECT Id FROM Num WHERE Big = -5", {}, {{I(2)}, {I(4)}}},
      {"SELECT Id FROM Num WHERE Big = ? AND Name = 'one'", {I(-5)}, {{I(4)}}},
      {"SELECT Id FROM Num WHERE Id = ?", {I(3)}, {{I(3)}}},
      {"SELECT Id FROM Num WHERE Id = 70000", {}, {}},
      {"SELECT * FROM Num WHERE Id = 3", {}, {{I(3), N, S("three"), S("c")}}},
      // Null never compares equal, not even with a null cell.
      {"SELECT Id FROM Num WHERE Big = NULL", {}, {}},
      {"SELECT Id FROM Num WHERE Big = ?", {N}, {}},
      // Two-column key, fixed by equality (looked up by key) or partly (scanned).
      {"SELECT C FROM Pair WHERE A = 'x' AND B = 2", {}, {{S("x2")}}},
      {"SELECT C FROM Pair WHERE B = ? AND A = ?", {I(1), S("y")}, {{S("y1")}}},
      {"SELECT C FROM Pair WHERE A = 'x' AND B = 2 AND C = 'other'", {}, {}},
      {"SELECT C FROM Pair WHERE B = 1", {}, {{S("x1")}, {S("y1")}}},
      // The catalog tables.
      {"SELECT Name FROM _Tables WHERE Name = 'Num'", {}, {{S("Num")}}},
      {"SELECT `Name`, `Type` FROM `_Columns` WHERE `Table` = 'Num' AND `Number` = 2", {},
       {{S("Big"), I(0x1104)}}},
  };
  for (const SelectCase& c : cases) {
    EXPECT_EQ(Query(*db, c.sql, c.params), c.expected) << c.sql;
  }
}

TEST(SqlView, OpenRejectsUnknownNamesAndInvalidOperators) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  struct Case {
    const char* sql;
    int msi_error;
  };
  const Case cases[] = {
      {"SELECT * FROM Nope", 2228},
      {"SELECT * FROM property", 2228},  // names are case-sensitive
      {"SELECT Nope FROM Property", 2235},
      {"SELECT * FROM Property WHERE Nope = 1", 2235},
      {"UPDATE Property SET Nope = 'x'", 2235},
      {"INSERT INTO Property (Property, Nope) VALUES ('a', 'b')", 2235},
      {"INSERT INTO Property (Property, Property) VALUES ('a', 'b')", 2242},
      {"UPDATE Property SET Value = 'x', Value = 'y'", 2242},
      {"INSERT INTO Property (Property) VALUES ('a', 'b')", 2239},
      {"SELECT * FROM Bin WHERE Data = 1", 2236},  // a stream cannot be compared
      {"SELECT * FROM Num WHERE Id = Name", 2232},
      {"DELETE FROM Property", 2232},
      {"SELECT * FROM Property WHERE", 2232},
  };
  for (const Case& c : cases) {
    auto view = sql::View::Open(*db, U(c.sql));
    ASSERT_FALSE(view.ok()) << c.sql;
    EXPECT_EQ(view.error().code, result_code::kBadQuerySyntax) << c.sql;
    EXPECT_EQ(view.error().msi_error, c.msi_error) << c.sql;
    ASSERT_FALSE(view.error().fields.empty());
    EXPECT_EQ(view.error().fields[0], platform::Widen(scratch.path()));
  }
}

// One statement per case on a fresh database, then a query showing the effect.
struct ChangeCase {
  const char* sql;
  std::vector<Value> params;
  uint32_t code;
  const char* check;
  Rows expected;
};

TEST(SqlView, ChangesAndTheirRefusals) {
  ScratchDatabase scratch;
  const uint32_t kFail = result_code::kFunctionFailed;
  const ChangeCase cases[] = {
      // INSERT
      {"INSERT INTO Property (Property, Value) VALUES ('NEWPROP', 'new value')", {}, 0,
       "SELECT Value FROM Property WHERE Property = 'NEWPROP'", {{S("new value")}}},
      {"INSERT INTO Property (Value, Property) VALUES (?, ?)", {S("v"), S("P2")}, 0,
       "SELECT Value FROM Property WHERE Property = 'P2'", {{S("v")}}},
      {"INSERT INTO Property (Property, Value) VALUES ('ProductName', 'dup')", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'ProductName'", {{S("Oracle Minimal")}}},
      {"INSERT INTO Property (Property) VALUES ('NOVALUE')", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'NOVALUE'", {}},
      {"INSERT INTO Property (Property, Value) VALUES ('EMPTY', '')", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'EMPTY'", {}},
      {"INSERT INTO Property (Property, Value) VALUES (NULL, 'x')", {}, kFail,
       "SELECT Property FROM Property WHERE Value = 'x'", {}},
      {"INSERT INTO Property (Property, Value) VALUES ('INTVAL', 5)", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'INTVAL'", {}},
      {"INSERT INTO Property (Property, Value) VALUES (?, ?)", {S("INTPARAM"), I(5)}, kFail,
       "SELECT Value FROM Property WHERE Property = 'INTPARAM'", {}},
      {"INSERT INTO Property (Property, Value) VALUES (?, 'nul')", {Value::String(std::string("NU\0L", 4))}, kFail,
       "SELECT Property FROM Property WHERE Value = 'nul'", {}},
      {"INSERT INTO Property (Property, Value) VALUES (?, ?)", {S("FEWPARAMS")}, kFail,
       "SELECT Value FROM Property WHERE Property = 'FEWPARAMS'", {}},
      {"INSERT INTO Num (Id, Tag) VALUES ('5', 't')", {}, kFail, "SELECT Id FROM Num WHERE Tag = 't'", {}},
      {"INSERT INTO Num (Id, Tag) VALUES (40000, 't')", {}, kFail, "SELECT Id FROM Num WHERE Tag = 't'", {}},
      {"INSERT INTO Num (Id, Tag) VALUES (-32768, 't')", {}, kFail, "SELECT Id FROM Num WHERE Tag = 't'", {}},
      {"INSERT INTO Num (Id, Big, Tag) VALUES (9, -2147483648, 't')", {}, kFail,
       "SELECT Id FROM Num WHERE Tag = 't'", {}},
      {"INSERT INTO Num (Id, Big, Tag) VALUES (-32767, -2147483647, 't')", {}, 0,
       "SELECT Id, Big FROM Num WHERE Tag = 't'", {{I(-32767), I(-2147483647)}}},
      {"INSERT INTO Num (Id, Big, Tag) VALUES (32767, 2147483647, 't')", {}, 0,
       "SELECT Id, Big FROM Num WHERE Tag = 't'", {{I(32767), I(2147483647)}}},
      {"INSERT INTO Num (Id, Big, Name, Tag) VALUES (?, ?, ?, ?)", {I(8), N, S("p"), S("t")}, 0,
       "SELECT * FROM Num WHERE Id = 8", {{I(8), N, S("p"), S("t")}}},
      {"INSERT INTO Num (Id) VALUES (10)", {}, kFail, "SELECT Id FROM Num WHERE Id = 10", {}},
      {"INSERT INTO Num (Id, Tag) VALUES (-7, 'dup')", {}, kFail, "SELECT Tag FROM Num WHERE Id = -7",
       {{S("d")}}},
      // A string longer than the declared width is accepted.
      {"INSERT INTO Num (Id, Tag) VALUES (11, 'longer than ten characters')", {}, 0,
       "SELECT Tag FROM Num WHERE Id = 11", {{S("longer than ten characters")}}},
      {"INSERT INTO Pair (A, B) VALUES ('x', 3)", {}, 0, "SELECT B FROM Pair WHERE A = 'x'",
       {{I(1)}, {I(2)}, {I(3)}}},
      {"INSERT INTO Pair (A, B) VALUES ('x', 2)", {}, kFail, "SELECT C FROM Pair WHERE A = 'x' AND B = 2",
       {{S("x2")}}},
      // UPDATE
      {"UPDATE Property SET Value = 'changed' WHERE Property = 'ProductName'", {}, 0,
       "SELECT Value FROM Property WHERE Property = 'ProductName'", {{S("changed")}}},
      {"UPDATE Property SET Value = ? WHERE Property = ?", {S("p"), S("MyProp")}, 0,
       "SELECT Property FROM Property WHERE Value = 'p'", {{S("MyProp")}}},
      {"UPDATE Property SET Value = 'x' WHERE Property = 'Missing'", {}, 0,
       "SELECT Property FROM Property WHERE Value = 'x'", {}},
      {"UPDATE Property SET Property = 'Renamed' WHERE Property = 'ProductName'", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'Renamed'", {}},
      {"UPDATE Property SET Value = NULL WHERE Property = 'ProductName'", {}, kFail,
       "SELECT Value FROM Property WHERE Property = 'ProductName'", {{S("Oracle Minimal")}}},
      {"UPDATE Property SET Value = ?", {}, kFail, "SELECT Value FROM Property WHERE Property = 'MYPROP'",
       {{S("Original value")}}},
      {"UPDATE Num SET Big = NULL, Name = 'none' WHERE Id = 1", {}, 0, "SELECT * FROM Num WHERE Id = 1",
       {{I(1), N, S("none"), S("a")}}},
      {"UPDATE Num SET Name = 'neg' WHERE Big = -5", {}, 0, "SELECT Id FROM Num WHERE Name = 'neg' AND Big = -5",
       {{I(2)}, {I(4)}}},
      {"UPDATE Num SET Name = 'all'", {}, 0, "SELECT Name FROM Num", {{S("all")}, {S("all")}, {S("all")},
       {S("all")}, {S("all")}}},
      {"UPDATE Num SET Big = 'text' WHERE Id = 1", {}, kFail, "SELECT Big FROM Num WHERE Id = 1",
       {{I(100000)}}},
      {"UPDATE Num SET Tag = NULL WHERE Id = 1", {}, kFail, "SELECT Tag FROM Num WHERE Id = 1", {{S("a")}}},
      {"UPDATE Num SET Name = 'x' WHERE Id = 'one'", {}, kFail, "SELECT Id FROM Num WHERE Name = 'x'", {}},
      {"UPDATE Pair SET C = 'new' WHERE A = 'x' AND B = 1", {}, 0, "SELECT C FROM Pair WHERE B = 1",
       {{S("new")}, {S("y1")}}},
      // A string is stored up to the longest length installers read back exactly.
      {"UPDATE Property SET Value = ? WHERE Property = 'ProductName'",
       {Value::String(std::string(engine::kLongestStoredString, 'v'))}, 0,
       "SELECT Property FROM Property WHERE Value = 'Oracle Minimal'", {}},
      {"UPDATE Property SET Value = ? WHERE Property = 'ProductName'",
       {Value::String(std::string(engine::kLongestStoredString + 1, 'v'))}, kFail,
       "SELECT Value FROM Property WHERE Property = 'ProductName'", {{S("Oracle Minimal")}}},
      // The catalog can be read, never changed by a query.
      {"INSERT INTO _Tables (Name) VALUES ('X')", {}, kFail, "SELECT Name FROM _Tables WHERE Name = 'X'", {}},
      {"UPDATE _Columns SET Name = 'X' WHERE Table = 'Num' AND Number = 2", {}, kFail,
       "SELECT Name FROM _Columns WHERE Table = 'Num' AND Number = 2", {{S("Big")}}},
  };
  for (const ChangeCase& c : cases) {
    auto db = scratch.Open();
    ASSERT_TRUE(db);
    EXPECT_EQ(Exec(*db, c.sql, c.params), c.code) << c.sql;
    EXPECT_EQ(Query(*db, c.check), c.expected) << c.sql;
  }
}

TEST(SqlView, FailuresCarryARecordNamingTheProblem) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  auto view = sql::View::Open(*db, u"INSERT INTO Property (Property, Value) VALUES ('ProductName', 'x')");
  ASSERT_TRUE(view.ok());
  Status st = (*view)->Execute({});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().code, result_code::kFunctionFailed);
  EXPECT_GE(st.error().msi_error, 2200);
  EXPECT_EQ(st.error().fields[0], platform::Widen(scratch.path()));
  bool names_key = false;
  for (const auto& f : st.error().fields) names_key = names_key || f.find(u"ProductName") != std::u16string::npos;
  EXPECT_TRUE(names_key);
}

TEST(SqlView, ViewLifecycle) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  auto select = sql::View::Open(*db, u"SELECT Id, Tag FROM Num WHERE Id = ?");
  ASSERT_TRUE(select.ok());
  sql::View& view = **select;
  EXPECT_EQ(view.Fetch().code(), result_code::kFunctionFailed) << "fetch before execute";

  const Value four[] = {I(4)};
  ASSERT_TRUE(view.Execute(four).ok());
  auto row = view.Fetch();
  ASSERT_TRUE(row.ok() && row->has_value());
  EXPECT_EQ(**row, (std::vector<Value>{I(4), S("e")}));
  row = view.Fetch();
  ASSERT_TRUE(row.ok());
  EXPECT_FALSE(row->has_value());

  // Executing again restarts with the new parameters.
  const Value three[] = {I(3)};
  ASSERT_TRUE(view.Execute(three).ok());
  row = view.Fetch();
  ASSERT_TRUE(row.ok() && row->has_value());
  EXPECT_EQ(**row, (std::vector<Value>{I(3), S("c")}));

  auto insert = sql::View::Open(*db, u"INSERT INTO Num (Id, Tag) VALUES (20, 'z')");
  ASSERT_TRUE(insert.ok());
  ASSERT_TRUE((*insert)->Execute({}).ok());
  EXPECT_EQ((*insert)->Fetch().code(), result_code::kFunctionFailed) << "fetch from an INSERT";
  EXPECT_EQ((*insert)->Execute({}).code(), result_code::kFunctionFailed) << "second insert of the key";
}

TEST(SqlView, ReadOnlyDatabaseRefusesChanges) {
  ScratchDatabase scratch;
  auto db = scratch.Open(OpenMode::kReadOnly);
  ASSERT_TRUE(db);
  const char* refused[] = {
      "INSERT INTO Property (Property, Value) VALUES ('NEWPROP', 'x')",
      "UPDATE Property SET Value = 'x' WHERE Property = 'ProductName'",
      "UPDATE Property SET Value = 'x' WHERE Property = 'Missing'",
  };
  for (const char* sql : refused) EXPECT_EQ(Exec(*db, sql), result_code::kFunctionFailed) << sql;
  EXPECT_EQ(Query(*db, "SELECT Value FROM Property WHERE Property = 'ProductName'"),
            (Rows{{S("Oracle Minimal")}}));
  EXPECT_EQ(Query(*db, "SELECT Id FROM Num WHERE Id = 1"), (Rows{{I(1)}}));
}

// What a committed change looks like to an independent reader (msitools).
TEST(SqlView, CommittedChangesAreSeenByMsitools) {
  ScratchDatabase scratch;
  {
    auto db = scratch.Open();
    ASSERT_TRUE(db);
    EXPECT_EQ(Exec(*db, "INSERT INTO Property (Property, Value) VALUES ('ADDED', 'added value')"), 0u);
    EXPECT_EQ(Exec(*db, "UPDATE Property SET Value = 'Renamed Product' WHERE Property = 'ProductName'"), 0u);
    EXPECT_EQ(Exec(*db, "INSERT INTO Num (Id, Big, Tag) VALUES (-300, -70000, 'n')"), 0u);
    Status committed = db->Commit();
    ASSERT_TRUE(committed.ok()) << Describe(committed);
  }
  auto props = test::Run({"msiinfo", "export", scratch.path(), "Property"});
  ASSERT_EQ(props.exit_code, 0) << props.err;
  EXPECT_NE(props.out.find("ADDED\tadded value"), std::string::npos) << props.out;
  EXPECT_NE(props.out.find("ProductName\tRenamed Product"), std::string::npos) << props.out;
  EXPECT_NE(props.out.find("MYPROP\tOriginal value"), std::string::npos) << props.out;
  auto num = test::Run({"msiinfo", "export", scratch.path(), "Num"});
  ASSERT_EQ(num.exit_code, 0) << num.err;
  EXPECT_NE(num.out.find("-300\t-70000\t\tn"), std::string::npos) << num.out;
}

// One prepared statement executed again and again, as the tool runs its statements.
TEST(SqlView, RepeatedParameterisedStatementsSetEveryRow) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  auto insert = sql::View::Open(*db, u"INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)");
  auto update = sql::View::Open(*db, u"UPDATE `Property` SET `Value` = ? WHERE `Property` = ?");
  ASSERT_TRUE(insert.ok() && update.ok());
  for (int i = 0; i < 10000; ++i) {
    const Value params[] = {Value::String("P" + std::to_string(i)), S("v")};
    ASSERT_TRUE((*insert)->Execute(params).ok()) << i;
  }
  for (int i = 0; i < 10000; ++i) {
    const Value params[] = {Value::String("w" + std::to_string(i)),
                            Value::String("P" + std::to_string(i))};
    ASSERT_TRUE((*update)->Execute(params).ok()) << i;
  }
  EXPECT_EQ(Query(*db, "SELECT Value FROM Property WHERE Property = 'P0'"), (Rows{{S("w0")}}));
  EXPECT_EQ(Query(*db, "SELECT Value FROM Property WHERE Property = 'P9999'"), (Rows{{S("w9999")}}));
}

// Arbitrary statements against a real database fail cleanly or succeed.
TEST(SqlView, RandomStatementsFailCleanly) {
  ScratchDatabase scratch;
  auto db = scratch.Open();
  ASSERT_TRUE(db);
  const char* pieces[] = {"SELECT", "INSERT", "INTO", "UPDATE", "DELETE", "FROM", "WHERE", "AND",
                          "OR", "IS", "NOT", "NULL", "ORDER", "BY", "SET", "VALUES", "DISTINCT",
                          "(", ")", ",", "*", "?", "=", "<>", "<", "-", "'s'", "1", "Num", "Id",
                          "Big", "Name", "Tag", "Property", "Value", "Num.Id", "TEMPORARY"};
  std::mt19937 rng(99);
  const Value params[] = {I(1), S("s")};
  for (int round = 0; round < 5000; ++round) {
    std::string sql;
    const int n = 2 + static_cast<int>(rng() % 14);
    for (int i = 0; i < n; ++i) sql += std::string(pieces[rng() % std::size(pieces)]) + " ";
    auto view = sql::View::Open(*db, U(sql));
    if (!view.ok()) {
      EXPECT_EQ(view.error().code, result_code::kBadQuerySyntax) << sql;
      continue;
    }
    Status st = (*view)->Execute(params);
    if (!st.ok()) {
      EXPECT_EQ(st.code(), result_code::kFunctionFailed) << sql;
    }
  }
}

}  // namespace
}  // namespace mkx::sqltest
