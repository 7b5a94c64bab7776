// A prepared SQL statement bound to one database: the query interface of the engine.
//
// Lifecycle of a View:  Open (parsed and bound; nothing read or changed)
//   -> Execute (runs the statement; for SELECT takes a snapshot of the result rows)
//   -> Fetch ... (SELECT only; rows of the last Execute, in order)
//   -> Execute again (restarts with new parameters) or destruction.
//
// Semantics worth knowing:
//  1. Values are stored as raw cells: strings through the database's string pool
//     (an empty string is null), integers biased as the file stores them.
//  2. WHERE compares with = only: a string column by its text, an integer column
//     numerically. A comparison with null is never true. A stream column cannot be
//     compared (refused when the view is opened, result_code::kBadQuerySyntax).
//  3. Type mismatches (a string for an integer column and the reverse, an integer
//     outside the column's range) fail at Execute with result_code::kFunctionFailed, whether
//     the value is a literal or a parameter.
//  4. A statement that changes data checks everything before changing anything: a
//     failed Execute leaves the table as it was.
//  5. An INSERT or UPDATE on a read-only database fails.
//  6. _Tables and _Columns can be SELECTed; they cannot be changed by a query.
//  7. A stream (binary) column reads as the integer 1 when the row has data and null
//     otherwise; queries cannot write stream columns except with null on INSERT.
//  8. Where the WHERE clause fixes every key column, the row is found through the
//     table's key index instead of a scan; rows come back in table order otherwise.
//     A key text that the pool holds under two ids (the same bytes twice, or two byte
//     sequences that read as that text) fails the statement (so does an INSERT of
//     it): rows are keyed by id, and one of the two would be missed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "engine/sql/statement.h"
#include "engine/value.h"
#include "platform/result.h"

namespace mkx::sql {

class View {
 public:
  /// Parses the statement and binds it to the database: a syntax error, an unknown
  /// table or an unknown column fails with result_code::kBadQuerySyntax.
  static Result<std::unique_ptr<View>> Open(engine::Database& db, std::u16string_view text);
  /// Runs the statement; `params` bind the ? markers in order. Fails with
  /// result_code::kFunctionFailed for an INSERT of an existing key, a type mismatch, a null in
  /// a non-nullable column, an UPDATE of a key column, a change to a read-only
  /// database, too few parameters. For SELECT, (re)starts the result set.
  Status Execute(std::span<const engine::Value> params);
  /// Next row of a SELECT (its selected columns as values); nullopt when no rows remain.
  /// Fails with result_code::kFunctionFailed if not executed or not a SELECT.
  Result<std::optional<std::vector<engine::Value>>> Fetch();
  /// Drops the rows of the last Execute; the view can be executed again.
  void Close();
  /// Number of ? markers the statement needs.
  size_t parameter_count() const { return statement_.parameter_count; }

 private:
  // A WHERE term bound to the table: column index and operand index.
  struct BoundEquality {
    size_t column = 0;
    size_t value = 0;
  };

  // A statement value after parameters are bound (one per entry of operands_).
  struct Resolved {
    enum class Kind : uint8_t { kNull, kInteger, kString };
    Kind kind = Kind::kNull;
    int32_t integer = 0;
    std::string_view text;  // UTF-8: the operand's or parameter's own, during Execute only
    std::string encoded;    // text that is not ASCII, in the database codepage
    /// The text in the database codepage: ASCII text as it stands.
    std::string_view bytes() const { return encoded.empty() ? text : encoded; }
  };

  View(engine::Database& db, std::u16string text, Statement statement)
      : db_(db), text_(std::move(text)), statement_(std::move(statement)) {}

  Status Bind();
  Result<size_t> BindColumn(const std::u16string& name) const;
  void FindKeyLookup();
  size_t AddOperand(const Operand& operand);

  Status ResolveOperands(std::span<const engine::Value> params);
  Status CheckComparisons() const;
  Status CheckStorable(size_t column, const Resolved& value) const;
  uint32_t StoreCell(size_t column, const Resolved& value);
  Result<std::vector<size_t>> MatchingRows() const;
  /// The id of a string key's text; fails when the pool holds the text twice, or
  /// when a key of the table is malformed (another reader may take it for this one).
  Result<uint32_t> KeyStringId(std::string_view bytes) const;
  bool TableHoldsMalformedKey() const;
  bool Matches(size_t row) const;
  engine::Value CellValue(size_t row, size_t column) const;
  std::u16string KeyText(std::span<const uint32_t> cells) const;

  Status ExecuteSelect();
  Status ExecuteInsert();
  Status ExecuteUpdate();
  Status CheckWritable() const;

  Error BindError(int msi_error, std::u16string_view what) const;
  Error ExecuteError(std::u16string_view tmpl, std::vector<std::u16string> fields) const;
  std::u16string DatabaseName() const;
  std::u16string ColumnName(size_t column) const;

  engine::Database& db_;
  std::u16string text_;
  Statement statement_;
  engine::Table* table_ = nullptr;
  bool catalog_ = false;  // _Tables or _Columns: read-only for queries

  std::vector<size_t> columns_;       // SELECT list / INSERT columns / UPDATE targets
  std::vector<size_t> value_ops_;     // operand index per INSERT/UPDATE value
  std::vector<Operand> operands_;     // literal and parameter values of the statement
  std::vector<Resolved> resolved_;    // operands_ during Execute, parameters bound
  std::vector<BoundEquality> where_;  // empty: every row
  std::vector<size_t> key_lookup_;    // operand per key column when WHERE fixes the key

  // Whether a key of the table is malformed, found once: ResolveOperands lets no
  // malformed string into a row (no NUL; text beyond ASCII only as encoded exactly).
  mutable std::optional<bool> malformed_keys_;

  bool executed_ = false;
  std::vector<std::vector<engine::Value>> rows_;
  size_t next_row_ = 0;
};

}  // namespace mkx::sql
