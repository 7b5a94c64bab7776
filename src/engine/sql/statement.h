// Parsed form of one installer SQL statement.
//
// The subset is what the tool runs against a working copy: an INSERT of a property,
// an UPDATE of its value, and a SELECT that reads one back. Grammar (keywords
// case-insensitive, names plain or `backquoted`):
//   SELECT * | column, ... FROM table [WHERE condition]
//   INSERT INTO table (column, ...) VALUES (value, ...)
//   UPDATE table SET column = value, ... [WHERE condition]
//   condition := column = value { AND column = value }
// A value is 'text' (no escapes), an integer with an optional minus sign, NULL or ?
// (a parameter, numbered in order of appearance). Reserved words must be backquoted
// to be used as names. Anything else fails with result_code::kBadQuerySyntax.
//
// Guarantees: parsing never recurses, and a condition is a flat list of equalities,
// so no input can exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace mkx::sql {

struct Operand {
  enum class Kind : uint8_t { kInteger, kString, kNull, kParameter };
  Kind kind = Kind::kNull;
  int32_t integer = 0;     // kInteger
  std::string text;        // kString, as UTF-8 like a Value (never empty: '' parses as kNull)
  size_t parameter = 0;    // kParameter: 0-based index among the statement's markers
};

/// One term of a WHERE clause: column = value.
struct Equality {
  std::u16string column;
  Operand value;
};

struct Statement {
  enum class Kind : uint8_t { kSelect, kInsert, kUpdate };
  Kind kind = Kind::kSelect;
  std::u16string table;
  bool all_columns = false;           // SELECT *
  std::vector<std::u16string> columns;  // SELECT list, INSERT columns, UPDATE SET targets
  std::vector<Operand> values;        // INSERT values, UPDATE SET values
  std::vector<Equality> where;        // all must hold; empty: no WHERE clause
  size_t parameter_count = 0;
};

/// Parses one statement. A syntax error fails with result_code::kBadQuerySyntax and a record
/// whose field [2] is `database` (the name used in messages) and which quotes the query.
Result<Statement> Parse(std::u16string_view text, std::u16string_view database);

/// Builds the syntax error record used by Parse and by the binder.
Error QuerySyntaxError(int msi_error, std::u16string_view database, std::u16string_view what,
                       std::u16string_view text);

}  // namespace mkx::sql
