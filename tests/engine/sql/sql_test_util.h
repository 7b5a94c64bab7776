// Helpers shared by the SQL tests: value shorthands, a scratch database with integer
// tables, and running statements to completion.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/sql/view.h"
#include "engine/value.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::engine {
inline void PrintTo(const Value& v, std::ostream* os) {
  switch (v.kind) {
    case Value::Kind::kNull: *os << "null"; break;
    case Value::Kind::kInteger: *os << v.integer; break;
    case Value::Kind::kString: *os << '\'' << v.text << '\''; break;
  }
}
}  // namespace mkx::engine

namespace mkx::sqltest {

using engine::Value;
using Rows = std::vector<std::vector<Value>>;

inline Value I(int32_t v) { return Value::Integer(v); }
inline Value S(const char* s) { return Value::String(s); }
inline const Value N = Value::Null();
inline std::u16string U(const std::string& s) { return platform::FromAscii(s); }

/// The English sentence of an error record, for failure messages.
inline std::string Describe(const Status& status) {
  if (status.ok()) return "success";
  const Error& e = status.error();
  std::u16string text = e.message_template;
  for (size_t i = 0; i < e.fields.size(); ++i) {
    const std::u16string marker = u"[" + platform::FromAscii(std::to_string(i + 2)) + u"]";
    for (size_t at = text.find(marker); at != std::u16string::npos; at = text.find(marker, at)) {
      text.replace(at, marker.size(), e.fields[i]);
      at += e.fields[i].size();
    }
  }
  return std::to_string(e.code) + " " + std::to_string(e.msi_error) + ": " + platform::Narrow(text);
}

/// A copy of make-fixtures' minimal.msi with two tables added by msibuild:
///   Num (Id SHORT key, Big LONG, Name CHAR(20), Tag CHAR(10) NOT NULL), rows
///     (1, 100000, 'one', 'a'), (2, -5, null, 'b'), (3, null, 'three', 'c'),
///     (-7, 7, 'neg', 'd'), (4, -5, 'one', 'e');
///   Pair (A CHAR(10), B SHORT: key; C CHAR(10)), rows ('x', 1, 'x1'), ('x', 2, 'x2'),
///     ('y', 1, 'y1');
///   Bin (Name CHAR(72) key, Data OBJECT), no rows.
class ScratchDatabase {
 public:
  ScratchDatabase() : path_(dir_.File("scratch.msi")) {
    test::CopyFile(test::BuiltFixture("minimal.msi"), path_);
    const char* statements[] = {
        "CREATE TABLE `Num` (`Id` SHORT NOT NULL, `Big` LONG, `Name` CHAR(20), "
        "`Tag` CHAR(10) NOT NULL PRIMARY KEY `Id`)",
        "INSERT INTO `Num` (`Id`, `Big`, `Name`, `Tag`) VALUES (1, 100000, 'one', 'a')",
        "INSERT INTO `Num` (`Id`, `Big`, `Tag`) VALUES (2, -5, 'b')",
        "INSERT INTO `Num` (`Id`, `Name`, `Tag`) VALUES (3, 'three', 'c')",
        "INSERT INTO `Num` (`Id`, `Big`, `Name`, `Tag`) VALUES (-7, 7, 'neg', 'd')",
        "INSERT INTO `Num` (`Id`, `Big`, `Name`, `Tag`) VALUES (4, -5, 'one', 'e')",
        "CREATE TABLE `Pair` (`A` CHAR(10) NOT NULL, `B` SHORT NOT NULL, `C` CHAR(10) "
        "PRIMARY KEY `A`, `B`)",
        "INSERT INTO `Pair` (`A`, `B`, `C`) VALUES ('x', 1, 'x1')",
        "INSERT INTO `Pair` (`A`, `B`, `C`) VALUES ('x', 2, 'x2')",
        "INSERT INTO `Pair` (`A`, `B`, `C`) VALUES ('y', 1, 'y1')",
        "CREATE TABLE `Bin` (`Name` CHAR(72) NOT NULL, `Data` OBJECT PRIMARY KEY `Name`)",
    };
    for (const char* sql : statements) {
      auto run = test::Run({"msibuild", path_, "-q", sql});
      EXPECT_EQ(run.exit_code, 0) << sql << ": " << run.err;
    }
  }

  const std::string& path() const { return path_; }

  std::unique_ptr<engine::Database> Open(engine::OpenMode mode = engine::OpenMode::kTransact) {
    auto db = engine::Database::Open(path_, mode);
    EXPECT_TRUE(db.ok()) << "cannot open " << path_;
    return db.ok() ? std::move(db).value() : nullptr;
  }

 private:
  test::TempDir dir_;
  std::string path_;
};

/// Opens and executes a statement; returns the failure code of either step.
inline uint32_t Exec(engine::Database& db, const std::string& sql,
                     const std::vector<Value>& params = {}) {
  auto view = sql::View::Open(db, U(sql));
  if (!view.ok()) return view.code();
  return (*view)->Execute(params).code();
}

/// Runs a SELECT and returns every row; fails the test if any step fails.
inline Rows Query(engine::Database& db, const std::string& sql,
                  const std::vector<Value>& params = {}) {
  Rows rows;
  auto view = sql::View::Open(db, U(sql));
  EXPECT_TRUE(view.ok()) << sql;
  if (!view.ok()) return rows;
  Status executed = (*view)->Execute(params);
  EXPECT_TRUE(executed.ok()) << sql;
  if (!executed.ok()) return rows;
  while (true) {
    auto row = (*view)->Fetch();
    EXPECT_TRUE(row.ok()) << sql;
    if (!row.ok() || !row->has_value()) break;
    rows.push_back(std::move(**row));
  }
  return rows;
}

}  // namespace mkx::sqltest
