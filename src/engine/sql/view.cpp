// Binding and execution of installer SQL statements (see view.h).
#include "engine/sql/view.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/codepage.h"
#include "engine/string_pool.h"
#include "platform/utf8.h"
#include "platform/wide.h"

namespace mkx::sql {
namespace {

using engine::CellKind;
using engine::Value;

// Installer error numbers.
constexpr int kUnknownTable = 2228;
constexpr int kUnknownColumn = 2235;
constexpr int kInvalidOperator = 2236;
constexpr int kRepeatedColumn = 2242;
constexpr int kUpdateFailed = 2259;

bool IsCatalogName(std::u16string_view name) { return name == u"_Tables" || name == u"_Columns"; }

std::u16string Decimal(int64_t v) {
  std::u16string out = platform::FromAscii(std::to_string(v));
  return out;
}

bool IsIntegerKind(CellKind kind) { return kind == CellKind::kInt16 || kind == CellKind::kInt32; }

// Whether an integer can be stored in a cell of this kind (the most negative value
// of each width would read back as null).
bool FitsInteger(CellKind kind, int64_t v) {
  if (kind == CellKind::kInt16) return v >= -32767 && v <= 32767;
  return v > std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

std::u16string DescribeValue(const Value& v) {
  switch (v.kind) {
    case Value::Kind::kNull: return u"null";
    case Value::Kind::kInteger: return u"integer " + Decimal(v.integer);
    case Value::Kind::kString: return u"string '" + platform::FromExactUtf8(v.text) + u"'";
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------------
// Opening and binding

Result<std::unique_ptr<View>> View::Open(engine::Database& db, std::u16string_view text) {
  auto statement = Parse(text, platform::DecodePath(db.path()));
  if (!statement.ok()) return statement.take_error();
  std::unique_ptr<View> view(new View(db, std::u16string(text), std::move(statement).value()));
  MKX_TRY(view->Bind());
  return view;
}

std::u16string View::DatabaseName() const { return platform::DecodePath(db_.path()); }

std::u16string View::ColumnName(size_t column) const {
  return table_->schema().columns[column].name;
}

Error View::BindError(int msi_error, std::u16string_view what) const {
  return QuerySyntaxError(msi_error, DatabaseName(), what, text_);
}

Error View::ExecuteError(std::u16string_view tmpl, std::vector<std::u16string> fields) const {
  fields.insert(fields.begin(), DatabaseName());
  return Error(result_code::kFunctionFailed, kUpdateFailed, std::u16string(tmpl), std::move(fields));
}

Result<size_t> View::BindColumn(const std::u16string& name) const {
  auto index = table_->schema().FindColumn(name);
  if (!index) return BindError(kUnknownColumn, name);
  return *index;
}

size_t View::AddOperand(const Operand& operand) {
  operands_.push_back(operand);
  return operands_.size() - 1;
}

Status View::Bind() {
  // The catalog tables are held by the database like any other table.
  catalog_ = IsCatalogName(statement_.table);
  if (db_.FindSchema(statement_.table) == nullptr) {
    return BindError(kUnknownTable, statement_.table);
  }
  auto table = db_.GetTable(statement_.table);
  if (!table.ok()) return table.take_error();
  table_ = table.value();
  const engine::TableSchema& schema = table_->schema();

  if (statement_.kind == Statement::Kind::kSelect && statement_.all_columns) {
    for (size_t i = 0; i < schema.columns.size(); ++i) columns_.push_back(i);
  }
  for (const std::u16string& name : statement_.columns) {
    auto index = BindColumn(name);
    if (!index.ok()) return index.take_error();
    if (statement_.kind != Statement::Kind::kSelect &&
        std::find(columns_.begin(), columns_.end(), *index) != columns_.end()) {
      return BindError(kRepeatedColumn, name);
    }
    columns_.push_back(*index);
  }
  for (const Operand& value : statement_.values) value_ops_.push_back(AddOperand(value));
  for (const Equality& term : statement_.where) {
    auto column = BindColumn(term.column);
    if (!column.ok()) return column.take_error();
    if (schema.columns[*column].kind() == CellKind::kStream) {
      return BindError(kInvalidOperator, term.column);
    }
    where_.push_back(BoundEquality{*column, AddOperand(term.value)});
  }
  FindKeyLookup();
  return Ok{};
}

// The key index serves the statement when its equalities fix every key column.
void View::FindKeyLookup() {
  const size_t key_count = table_->schema().key_count();
  if (where_.empty() || key_count == 0) return;
  std::vector<size_t> lookup(key_count, SIZE_MAX);
  for (const BoundEquality& term : where_) {
    if (term.column < key_count) lookup[term.column] = term.value;
  }
  if (std::find(lookup.begin(), lookup.end(), SIZE_MAX) != lookup.end()) return;
  key_lookup_ = std::move(lookup);
}

// ---------------------------------------------------------------------------------
// Execution

Status View::ResolveOperands(std::span<const Value> params) {
  if (params.size() < statement_.parameter_count) {
    return ExecuteError(u"Database: [2]. The SQL query needs [3] parameters but was given [4]: [5].",
                        {Decimal(static_cast<int64_t>(statement_.parameter_count)),
                         Decimal(static_cast<int64_t>(params.size())), text_});
  }
  resolved_.assign(operands_.size(), Resolved{});
  for (size_t i = 0; i < operands_.size(); ++i) {
    const Operand& op = operands_[i];
    Resolved& r = resolved_[i];
    // A string is only looked at, never copied: a parameter can be as long as a file.
    const Value* param = op.kind == Operand::Kind::kParameter ? &params[op.parameter] : nullptr;
    if (op.kind == Operand::Kind::kInteger || (param && param->kind == Value::Kind::kInteger)) {
      r.kind = Resolved::Kind::kInteger;
      r.integer = param ? param->integer : op.integer;
      continue;
    }
    const std::string_view text = op.kind == Operand::Kind::kString                         ? op.text
                                  : param && param->kind == Value::Kind::kString ? param->text
                                                                                 : std::string_view();
    if (text.empty()) continue;
    // Text ends at a NUL for readers that take strings as C strings, so a string
    // holding one is never stored (nor is any other malformed string).
    if (text.find('\0') != std::string_view::npos) {
      return ExecuteError(u"Database: [2]. A string holds a NUL character, at which installers end the text: [3].",
                          {text_});
    }
    r.kind = Resolved::Kind::kString;
    r.text = text;
    if (engine::IsAscii(text)) continue;
    const std::u16string wide = platform::FromExactUtf8(text);
    r.encoded = engine::EncodeText(db_.codepage(), wide);
    // Text the codepage cannot hold is refused: stored, its '?' stand-ins would
    // silently become another text (two names could even become one).
    if (!engine::EncodedExactly(db_.codepage(), wide, r.encoded)) {
      return ExecuteError(u"Database: [2]. The text '[3]' holds characters that codepage [4] of the database "
                          u"cannot represent ([5] first): [6].",
                          {wide, Decimal(db_.codepage()), engine::FirstCharacterNotHeld(db_.codepage(), wide),
                           text_});
    }
  }
  return Ok{};
}

// A comparison of a column with a value of the other type is an error, not a
// non-match (the statement cannot mean anything).
Status View::CheckComparisons() const {
  for (const BoundEquality& term : where_) {
    const Resolved& r = resolved_[term.value];
    const bool integer_column = IsIntegerKind(table_->schema().columns[term.column].kind());
    if ((r.kind == Resolved::Kind::kInteger && !integer_column) ||
        (r.kind == Resolved::Kind::kString && integer_column)) {
      Value v = r.kind == Resolved::Kind::kInteger ? Value::Integer(r.integer)
                                                   : Value::String(std::string(r.text));
      return ExecuteError(u"Database: [2]. The SQL query compares column [3] of table [4] with a [5], "
                          u"which has the wrong type: [6].",
                          {ColumnName(term.column), statement_.table, DescribeValue(v), text_});
    }
  }
  return Ok{};
}

// Every equality holds: neither side is null and the cell equals the value (strings
// by their stored bytes, integers numerically).
bool View::Matches(size_t row) const {
  for (const BoundEquality& term : where_) {
    const uint32_t cell = table_->Cell(row, term.column);
    const Resolved& r = resolved_[term.value];
    if (cell == 0 || r.kind == Resolved::Kind::kNull) return false;
    const CellKind kind = table_->schema().columns[term.column].kind();
    const bool equal = kind == CellKind::kString
                           ? db_.strings().Bytes(cell) == r.bytes()
                           : engine::DecodeInteger(kind, cell) == r.integer;
    if (!equal) return false;
  }
  return true;
}

// Rows are keyed by string ids: a text held under two ids (the same bytes twice, or
// bytes that read as the same text) could key two rows that the key index tells apart,
// and one of them would be missed. Such a key is refused.
Result<uint32_t> View::KeyStringId(std::string_view bytes) const {
  const engine::StringPool& pool = db_.strings();
  bool repeated = false;
  const uint32_t id = pool.FindBytes(bytes, &repeated);
  if (repeated || pool.HoldsTextTwin(bytes)) {
    return ExecuteError(u"Database: [2]. The string pool of the database holds the key text '[3]' more than once, "
                        u"so its rows cannot be told apart: [4].",
                        {engine::DecodeText(pool.codepage(), bytes), text_});
  }
  if (TableHoldsMalformedKey()) {
    return ExecuteError(u"Database: [2]. A key of table [3] holds a NUL or bytes that are no text in codepage [4], "
                        u"which readers may take for other text, so its rows cannot be told apart: [5].",
                        {statement_.table, Decimal(pool.codepage()), text_});
  }
  return id;
}

bool View::TableHoldsMalformedKey() const {
  const engine::StringPool& pool = db_.strings();
  if (!pool.HoldsMalformed()) return false;
  if (!malformed_keys_) {
    const engine::TableSchema& schema = table_->schema();
    malformed_keys_ = false;
    for (size_t k = 0; k < schema.key_count() && !*malformed_keys_; ++k) {
      if (schema.columns[k].kind() != engine::CellKind::kString) continue;
      for (size_t row = 0; row < table_->row_count() && !*malformed_keys_; ++row) {
        malformed_keys_ = pool.IsMalformed(table_->Cell(row, k));
      }
    }
  }
  return *malformed_keys_;
}

Result<std::vector<size_t>> View::MatchingRows() const {
  std::vector<size_t> rows;
  if (!key_lookup_.empty()) {
    const engine::TableSchema& schema = table_->schema();
    std::vector<uint32_t> key(key_lookup_.size());
    for (size_t k = 0; k < key_lookup_.size(); ++k) {
      const Resolved& r = resolved_[key_lookup_[k]];
      const CellKind kind = schema.columns[k].kind();
      if (r.kind == Resolved::Kind::kNull) return rows;  // = null is never true
      if (kind == CellKind::kString) {
        auto id = KeyStringId(r.bytes());
        if (!id.ok()) return id.take_error();
        key[k] = *id;
        if (key[k] == 0) return rows;  // text absent from the pool: no row can hold it
      } else {
        if (!FitsInteger(kind, r.integer)) return rows;
        key[k] = engine::EncodeInteger(kind, r.integer);
      }
    }
    auto found = table_->FindByKey(key);
    if (found && Matches(*found)) rows.push_back(*found);
    return rows;
  }
  for (size_t row = 0; row < table_->row_count(); ++row) {
    if (Matches(row)) rows.push_back(row);
  }
  return rows;
}

Value View::CellValue(size_t row, size_t column) const {
  const uint32_t raw = table_->Cell(row, column);
  if (raw == 0) return Value::Null();
  const CellKind kind = table_->schema().columns[column].kind();
  switch (kind) {
    case CellKind::kString: return Value::String(platform::ExactUtf8(db_.strings().Text(raw)));
    case CellKind::kStream: return Value::Integer(1);
    default: return Value::Integer(engine::DecodeInteger(kind, raw));
  }
}

Status View::Execute(std::span<const Value> params) {
  Close();
  Status status = ResolveOperands(params);
  if (status.ok()) status = CheckComparisons();
  if (status.ok()) {
    switch (statement_.kind) {
      case Statement::Kind::kSelect: status = ExecuteSelect(); break;
      case Statement::Kind::kInsert: status = ExecuteInsert(); break;
      case Statement::Kind::kUpdate: status = ExecuteUpdate(); break;
    }
  }
  // The parameters' encoded text is not kept: a value can be as long as a file.
  resolved_.clear();
  executed_ = status.ok();
  return status;
}

Status View::ExecuteSelect() {
  auto rows = MatchingRows();
  if (!rows.ok()) return rows.take_error();
  rows_.reserve(rows->size());
  for (size_t row : *rows) {
    std::vector<Value> values;
    values.reserve(columns_.size());
    for (size_t column : columns_) values.push_back(CellValue(row, column));
    rows_.push_back(std::move(values));
  }
  return Ok{};
}

Status View::CheckWritable() const {
  if (catalog_) {
    return ExecuteError(u"Database: [2]. Table [3] describes the database and cannot be changed "
                        u"by a query: [4].",
                        {statement_.table, text_});
  }
  if (db_.read_only()) {
    return ExecuteError(u"Database: [2]. The database is open read-only, so table [3] cannot be "
                        u"changed: [4].",
                        {statement_.table, text_});
  }
  return Ok{};
}

// Whether a value may be written to a column: type, range, nullability.
Status View::CheckStorable(size_t column, const Resolved& r) const {
  const engine::ColumnInfo& info = table_->schema().columns[column];
  const CellKind kind = info.kind();
  if (r.kind == Resolved::Kind::kNull) {
    if (info.nullable()) return Ok{};
    return ExecuteError(u"Database: [2]. Column [3] of table [4] cannot hold a null value: [5].",
                        {info.name, statement_.table, text_});
  }
  if (kind == CellKind::kStream) {
    return ExecuteError(u"Database: [2]. Column [3] of table [4] holds stream data, which a query "
                        u"can only set to null: [5].",
                        {info.name, statement_.table, text_});
  }
  const bool fits = kind == CellKind::kString ? r.kind == Resolved::Kind::kString
                                              : r.kind == Resolved::Kind::kInteger &&
                                                    FitsInteger(kind, r.integer);
  if (!fits) {
    Value v = r.kind == Resolved::Kind::kInteger ? Value::Integer(r.integer)
                                                 : Value::String(std::string(r.text));
    return ExecuteError(u"Database: [2]. The [3] does not fit column [4] of table [5]: [6].",
                        {DescribeValue(v), info.name, statement_.table, text_});
  }
  if (r.kind == Resolved::Kind::kString && r.bytes().size() > engine::kLongestStoredString) {
    return ExecuteError(u"Database: [2]. A string of [3] bytes is longer than the [4] bytes that installers are "
                        u"known to read back exactly, so column [5] of table [6] cannot hold it: [7].",
                        {Decimal(static_cast<int64_t>(r.bytes().size())),
                         Decimal(static_cast<int64_t>(engine::kLongestStoredString)), info.name, statement_.table,
                         text_});
  }
  return Ok{};
}

// The raw cell for a checked value; adds a string to the pool if needed.
uint32_t View::StoreCell(size_t column, const Resolved& r) {
  const CellKind kind = table_->schema().columns[column].kind();
  switch (r.kind) {
    case Resolved::Kind::kNull: return 0;
    case Resolved::Kind::kString: return db_.strings().InternBytes(r.bytes());
    case Resolved::Kind::kInteger: return engine::EncodeInteger(kind, r.integer);
  }
  return 0;
}

std::u16string View::KeyText(std::span<const uint32_t> cells) const {
  std::u16string text;
  const engine::TableSchema& schema = table_->schema();
  for (size_t k = 0; k < schema.key_count() && k < cells.size(); ++k) {
    if (k != 0) text += u", ";
    const CellKind kind = schema.columns[k].kind();
    if (cells[k] == 0) {
      text += u"null";
    } else if (kind == CellKind::kString) {
      text += u'\'';
      text += db_.strings().Text(cells[k]);
      text += u'\'';
    } else if (IsIntegerKind(kind)) {
      text += Decimal(engine::DecodeInteger(kind, cells[k]));
    }
  }
  return text;
}

Status View::ExecuteInsert() {
  MKX_TRY(CheckWritable());
  const engine::TableSchema& schema = table_->schema();
  const size_t width = schema.columns.size();
  std::vector<const Resolved*> given(width, nullptr);
  for (size_t i = 0; i < columns_.size(); ++i) given[columns_[i]] = &resolved_[value_ops_[i]];
  const Resolved null_value;
  for (size_t c = 0; c < width; ++c) {
    MKX_TRY(CheckStorable(c, given[c] ? *given[c] : null_value));
  }

  // The key must be new. A string key absent from the pool cannot be in the table.
  std::vector<uint32_t> key(schema.key_count(), 0);
  bool key_may_exist = true;
  for (size_t k = 0; k < key.size(); ++k) {
    const Resolved& r = given[k] ? *given[k] : null_value;
    if (r.kind == Resolved::Kind::kString) {
      auto id = KeyStringId(r.bytes());
      if (!id.ok()) return id.take_error();
      key[k] = *id;
      key_may_exist = key_may_exist && key[k] != 0;
    } else if (r.kind == Resolved::Kind::kInteger) {
      key[k] = engine::EncodeInteger(schema.columns[k].kind(), r.integer);
    }
  }
  if (key_may_exist && !key.empty() && table_->FindByKey(key)) {
    return ExecuteError(u"Database: [2]. Table [3] already has a row with key [4]: [5].",
                        {statement_.table, KeyText(key), text_});
  }

  std::vector<uint32_t> cells(width, 0);
  for (size_t c = 0; c < width; ++c) {
    if (given[c]) cells[c] = StoreCell(c, *given[c]);
  }
  table_->AppendRow(cells);
  return Ok{};
}

Status View::ExecuteUpdate() {
  MKX_TRY(CheckWritable());
  const engine::TableSchema& schema = table_->schema();
  for (size_t i = 0; i < columns_.size(); ++i) {
    const engine::ColumnInfo& info = schema.columns[columns_[i]];
    if (info.is_key()) {
      return ExecuteError(u"Database: [2]. Column [3] of table [4] is part of the primary key, "
                          u"which UPDATE cannot change: [5].",
                          {info.name, statement_.table, text_});
    }
    MKX_TRY(CheckStorable(columns_[i], resolved_[value_ops_[i]]));
  }
  auto matching = MatchingRows();
  if (!matching.ok()) return matching.take_error();
  const std::vector<size_t>& rows = *matching;
  if (rows.empty()) return Ok{};
  std::vector<uint32_t> cells(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) cells[i] = StoreCell(columns_[i], resolved_[value_ops_[i]]);
  for (size_t row : rows) {
    for (size_t i = 0; i < columns_.size(); ++i) {
      // Unchanged cells are not written, so a table changed by nothing stays clean.
      if (table_->Cell(row, columns_[i]) != cells[i]) table_->SetCell(row, columns_[i], cells[i]);
    }
  }
  return Ok{};
}

void View::Close() {
  executed_ = false;
  rows_.clear();
  next_row_ = 0;
}

Result<std::optional<std::vector<Value>>> View::Fetch() {
  if (statement_.kind != Statement::Kind::kSelect || !executed_) {
    return Error(result_code::kFunctionFailed, 2258,
                 u"Database: [2]. Rows can only be fetched from an executed SELECT query: [3].",
                 {DatabaseName(), text_});
  }
  if (next_row_ >= rows_.size()) return std::optional<std::vector<Value>>();
  return std::optional<std::vector<Value>>(std::move(rows_[next_row_++]));
}

}  // namespace mkx::sql
