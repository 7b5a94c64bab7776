// Parsed form of one installer SQL statement.
//
// Grammar (keywords case-insensitive, names plain or `backquoted`):
//   SELECT [DISTINCT] * | column, ... FROM table [WHERE condition] [ORDER BY column, ...]
//   INSERT INTO table (column, ...) VALUES (value, ...) [TEMPORARY]
//   UPDATE table SET column = value, ... [WHERE condition]
//   DELETE FROM table [WHERE condition]
// A column may be qualified as table.column. A value is 'text' (no escapes), an
// integer with an optional minus sign, NULL or ? (a parameter, numbered in order of
// appearance). A condition combines comparisons (= <> < > <= >=, IS [NOT] NULL)
// between a column and a value or another column with AND, OR and parentheses;
// AND binds tighter than OR. Reserved words must be backquoted to be used as names.
//
// Guarantees: parsing uses no recursion except for parenthesised conditions, which
// are limited to kMaxNesting levels; AND/OR chains are stored flat (one node with
// many children), so the tree depth never exceeds twice the nesting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace mkx::sql {

inline constexpr size_t kMaxNesting = 64;

struct ColumnRef {
  std::u16string table;   // empty unless qualified
  std::u16string column;
};

struct Operand {
  enum class Kind : uint8_t { kColumn, kInteger, kString, kNull, kParameter };
  Kind kind = Kind::kNull;
  ColumnRef column;        // kColumn
  int32_t integer = 0;     // kInteger
  std::u16string text;     // kString (never empty: '' parses as kNull)
  size_t parameter = 0;    // kParameter: 0-based index among the statement's markers
};

enum class CompareOp : uint8_t { kEqual, kNotEqual, kLess, kGreater, kLessEqual, kGreaterEqual };

/// One node of a WHERE tree; nodes refer to their children by index.
struct ConditionNode {
  enum class Kind : uint8_t { kCompare, kIsNull, kIsNotNull, kAnd, kOr };
  Kind kind = Kind::kCompare;
  ColumnRef column;               // kCompare (left side), kIsNull, kIsNotNull
  CompareOp op = CompareOp::kEqual;
  Operand right;                  // kCompare
  std::vector<size_t> children;   // kAnd, kOr (two or more)
};

struct Condition {
  std::vector<ConditionNode> nodes;  // empty: no WHERE clause
  size_t root = 0;
  bool empty() const { return nodes.empty(); }
};

struct Statement {
  enum class Kind : uint8_t { kSelect, kInsert, kUpdate, kDelete };
  Kind kind = Kind::kSelect;
  std::u16string table;
  bool distinct = false;             // SELECT DISTINCT
  bool all_columns = false;          // SELECT *
  bool temporary = false;            // INSERT ... TEMPORARY
  std::vector<ColumnRef> columns;    // SELECT list, INSERT columns, UPDATE SET targets
  std::vector<Operand> values;       // INSERT values, UPDATE SET values (never kColumn)
  Condition where;
  std::vector<ColumnRef> order_by;
  size_t parameter_count = 0;
};

/// Parses one statement. A syntax error fails with ERROR_BAD_QUERY_SYNTAX and a record
/// whose field [2] is `database` (the name used in messages) and which quotes the query.
Result<Statement> Parse(std::u16string_view text, std::u16string_view database);

/// Builds the syntax error record used by Parse and by the binder.
Error QuerySyntaxError(int msi_error, std::u16string_view database, std::u16string_view what,
                       std::u16string_view text);

}  // namespace mkx::sql
