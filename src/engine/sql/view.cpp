// Binding and execution of installer SQL statements (see view.h).
#include "engine/sql/view.h"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "engine/codepage.h"
#include "engine/string_pool.h"
#include "platform/wide.h"

namespace mkx::sql {
namespace {

using engine::CellKind;
using engine::Value;

// Installer error numbers.
constexpr int kUnknownTable = 2228;
constexpr int kUnexpectedToken = 2232;
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

std::u16string_view OperatorText(CompareOp op) {
  switch (op) {
    case CompareOp::kEqual: return u"=";
    case CompareOp::kNotEqual: return u"<>";
    case CompareOp::kLess: return u"<";
    case CompareOp::kGreater: return u">";
    case CompareOp::kLessEqual: return u"<=";
    case CompareOp::kGreaterEqual: return u">=";
  }
  return u"?";
}

template <typename T>
bool Compare(CompareOp op, const T& a, const T& b) {
  switch (op) {
    case CompareOp::kEqual: return a == b;
    case CompareOp::kNotEqual: return a != b;
    case CompareOp::kLess: return a < b;
    case CompareOp::kGreater: return a > b;
    case CompareOp::kLessEqual: return a <= b;
    case CompareOp::kGreaterEqual: return a >= b;
  }
  return false;
}

// Total order on values for ORDER BY and DISTINCT: null < integer < string.
int CompareValues(const Value& a, const Value& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  if (a.kind == Value::Kind::kInteger) return a.integer < b.integer ? -1 : a.integer > b.integer;
  if (a.kind == Value::Kind::kString) return a.text.compare(b.text) < 0 ? -1 : a.text != b.text;
  return 0;
}

struct RowLess {
  bool operator()(const std::vector<Value>& a, const std::vector<Value>& b) const {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      int c = CompareValues(a[i], b[i]);
      if (c != 0) return c < 0;
    }
    return a.size() < b.size();
  }
};

std::u16string DescribeValue(const Value& v) {
  switch (v.kind) {
    case Value::Kind::kNull: return u"null";
    case Value::Kind::kInteger: return u"integer " + Decimal(v.integer);
    case Value::Kind::kString: return u"string '" + v.text + u"'";
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
  return Error(ERROR_FUNCTION_FAILED, kUpdateFailed, std::u16string(tmpl), std::move(fields));
}

Result<size_t> View::BindColumn(const ColumnRef& ref) const {
  if (!ref.table.empty() && ref.table != statement_.table) {
    return BindError(kUnknownColumn, ref.table + u"." + ref.column);
  }
  auto index = table_->schema().FindColumn(ref.column);
  if (!index) return BindError(kUnknownColumn, ref.column);
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
  for (const ColumnRef& ref : statement_.columns) {
    auto index = BindColumn(ref);
    if (!index.ok()) return index.take_error();
    if (statement_.kind != Statement::Kind::kSelect &&
        std::find(columns_.begin(), columns_.end(), *index) != columns_.end()) {
      return BindError(kRepeatedColumn, ref.column);
    }
    columns_.push_back(*index);
  }
  for (const Operand& value : statement_.values) value_ops_.push_back(AddOperand(value));
  for (const ColumnRef& ref : statement_.order_by) {
    auto index = BindColumn(ref);
    if (!index.ok()) return index.take_error();
    order_by_.push_back(*index);
  }
  MKX_TRY(BindCondition());
  FindKeyLookup();
  return Ok{};
}

Status View::BindCondition() {
  const Condition& where = statement_.where;
  const engine::TableSchema& schema = table_->schema();
  where_.resize(where.nodes.size());
  where_root_ = where.root;
  for (size_t i = 0; i < where.nodes.size(); ++i) {
    const ConditionNode& node = where.nodes[i];
    BoundNode& bound = where_[i];
    bound.kind = node.kind;
    bound.op = node.op;
    bound.children = node.children;
    if (node.kind == ConditionNode::Kind::kAnd || node.kind == ConditionNode::Kind::kOr) continue;
    auto column = BindColumn(node.column);
    if (!column.ok()) return column.take_error();
    bound.column = *column;
    if (node.kind != ConditionNode::Kind::kCompare) continue;

    const CellKind left = schema.columns[bound.column].kind();
    const bool ordering = node.op != CompareOp::kEqual && node.op != CompareOp::kNotEqual;
    if (left == CellKind::kStream || (left == CellKind::kString && ordering)) {
      return BindError(kInvalidOperator, std::u16string(OperatorText(node.op)) + u" on column " +
                                             schema.columns[bound.column].name);
    }
    if (node.right.kind == Operand::Kind::kColumn) {
      auto right = BindColumn(node.right.column);
      if (!right.ok()) return right.take_error();
      const CellKind right_kind = schema.columns[*right].kind();
      if (IsIntegerKind(left) != IsIntegerKind(right_kind) || right_kind == CellKind::kStream) {
        return BindError(kUnexpectedToken, u"comparison of columns " +
                                               schema.columns[bound.column].name + u" and " +
                                               schema.columns[*right].name + u" of different types");
      }
      bound.right.kind = BoundOperand::Kind::kColumn;
      bound.right.column = *right;
    } else {
      bound.right.kind = BoundOperand::Kind::kValue;
      bound.right.value = AddOperand(node.right);
    }
  }
  return Ok{};
}

// Looks for equalities that fix every key column among the top-level conjuncts.
void View::FindKeyLookup() {
  if (where_.empty()) return;
  const size_t key_count = table_->schema().key_count();
  if (key_count == 0) return;
  std::vector<size_t> conjuncts;
  const BoundNode& root = where_[where_root_];
  if (root.kind == ConditionNode::Kind::kAnd) {
    conjuncts = root.children;
  } else {
    conjuncts.push_back(where_root_);
  }
  std::vector<size_t> lookup(key_count, SIZE_MAX);
  for (size_t index : conjuncts) {
    const BoundNode& node = where_[index];
    if (node.kind == ConditionNode::Kind::kCompare && node.op == CompareOp::kEqual &&
        node.right.kind == BoundOperand::Kind::kValue && node.column < key_count) {
      lookup[node.column] = node.right.value;
    }
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
    Value v;
    switch (op.kind) {
      case Operand::Kind::kInteger: v = Value::Integer(op.integer); break;
      case Operand::Kind::kString: v = Value::String(op.text); break;
      case Operand::Kind::kParameter: v = params[op.parameter]; break;
      default: break;
    }
    if (v.kind == Value::Kind::kInteger) {
      r.kind = Resolved::Kind::kInteger;
      r.integer = v.integer;
    } else if (v.kind == Value::Kind::kString && !v.text.empty()) {
      r.kind = Resolved::Kind::kString;
      r.bytes = engine::EncodeText(db_.codepage(), v.text);
      r.text = std::move(v.text);
    }
  }
  return Ok{};
}

// A comparison of a column with a value of the other type is an error, not a
// non-match (the statement cannot mean anything).
Status View::CheckComparisons() const {
  for (const BoundNode& node : where_) {
    if (node.kind != ConditionNode::Kind::kCompare ||
        node.right.kind != BoundOperand::Kind::kValue) {
      continue;
    }
    const Resolved& r = resolved_[node.right.value];
    const bool integer_column = IsIntegerKind(table_->schema().columns[node.column].kind());
    if ((r.kind == Resolved::Kind::kInteger && !integer_column) ||
        (r.kind == Resolved::Kind::kString && integer_column)) {
      Value v = r.kind == Resolved::Kind::kInteger ? Value::Integer(r.integer) : Value::String(r.text);
      return ExecuteError(u"Database: [2]. The SQL query compares column [3] of table [4] with a [5], "
                          u"which has the wrong type: [6].",
                          {ColumnName(node.column), statement_.table, DescribeValue(v), text_});
    }
  }
  return Ok{};
}

bool View::Matches(size_t index, size_t row) const {
  const BoundNode& node = where_[index];
  const uint32_t cell = node.kind == ConditionNode::Kind::kAnd || node.kind == ConditionNode::Kind::kOr
                            ? 0
                            : table_->Cell(row, node.column);
  switch (node.kind) {
    case ConditionNode::Kind::kAnd:
      for (size_t child : node.children) {
        if (!Matches(child, row)) return false;
      }
      return true;
    case ConditionNode::Kind::kOr:
      for (size_t child : node.children) {
        if (Matches(child, row)) return true;
      }
      return false;
    case ConditionNode::Kind::kIsNull:
      return cell == 0;
    case ConditionNode::Kind::kIsNotNull:
      return cell != 0;
    case ConditionNode::Kind::kCompare:
      break;
  }
  if (cell == 0) return false;
  const CellKind kind = table_->schema().columns[node.column].kind();
  const engine::StringPool& pool = db_.strings();
  if (node.right.kind == BoundOperand::Kind::kColumn) {
    const uint32_t other = table_->Cell(row, node.right.column);
    if (other == 0) return false;
    if (kind == CellKind::kString) {
      return Compare(node.op, pool.Bytes(cell), pool.Bytes(other));
    }
    const CellKind other_kind = table_->schema().columns[node.right.column].kind();
    return Compare(node.op, engine::DecodeInteger(kind, cell),
                   engine::DecodeInteger(other_kind, other));
  }
  const Resolved& r = resolved_[node.right.value];
  if (r.kind == Resolved::Kind::kNull) return false;
  if (kind == CellKind::kString) return Compare(node.op, pool.Bytes(cell), std::string_view(r.bytes));
  return Compare(node.op, engine::DecodeInteger(kind, cell), r.integer);
}

std::vector<size_t> View::MatchingRows() const {
  std::vector<size_t> rows;
  if (!key_lookup_.empty()) {
    const engine::TableSchema& schema = table_->schema();
    std::vector<uint32_t> key(key_lookup_.size());
    for (size_t k = 0; k < key_lookup_.size(); ++k) {
      const Resolved& r = resolved_[key_lookup_[k]];
      const CellKind kind = schema.columns[k].kind();
      if (r.kind == Resolved::Kind::kNull) return rows;  // = null is never true
      if (kind == CellKind::kString) {
        key[k] = db_.strings().FindBytes(r.bytes);
        if (key[k] == 0) return rows;  // text absent from the pool: no row can hold it
      } else {
        if (!FitsInteger(kind, r.integer)) return rows;
        key[k] = engine::EncodeInteger(kind, r.integer);
      }
    }
    auto found = table_->FindByKey(key);
    if (found && Matches(where_root_, *found)) rows.push_back(*found);
    return rows;
  }
  for (size_t row = 0; row < table_->row_count(); ++row) {
    if (where_.empty() || Matches(where_root_, row)) rows.push_back(row);
  }
  return rows;
}

Value View::CellValue(size_t row, size_t column) const {
  const uint32_t raw = table_->Cell(row, column);
  if (raw == 0) return Value::Null();
  const CellKind kind = table_->schema().columns[column].kind();
  switch (kind) {
    case CellKind::kString: return Value::String(db_.strings().Text(raw));
    case CellKind::kStream: return Value::Integer(1);
    default: return Value::Integer(engine::DecodeInteger(kind, raw));
  }
}

Status View::Execute(std::span<const Value> params) {
  executed_ = false;
  rows_.clear();
  next_row_ = 0;
  affected_rows_ = 0;
  MKX_TRY(ResolveOperands(params));
  MKX_TRY(CheckComparisons());
  switch (statement_.kind) {
    case Statement::Kind::kSelect: MKX_TRY(ExecuteSelect()); break;
    case Statement::Kind::kInsert: MKX_TRY(ExecuteInsert()); break;
    case Statement::Kind::kUpdate: MKX_TRY(ExecuteUpdate()); break;
    case Statement::Kind::kDelete: MKX_TRY(ExecuteDelete()); break;
  }
  executed_ = true;
  return Ok{};
}

Status View::ExecuteSelect() {
  std::vector<size_t> rows = MatchingRows();
  if (!order_by_.empty()) {
    std::vector<std::pair<std::vector<Value>, size_t>> keyed;
    keyed.reserve(rows.size());
    for (size_t row : rows) {
      std::vector<Value> key;
      key.reserve(order_by_.size());
      for (size_t column : order_by_) key.push_back(CellValue(row, column));
      keyed.emplace_back(std::move(key), row);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return RowLess()(a.first, b.first); });
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = keyed[i].second;
  }
  std::map<std::vector<Value>, bool, RowLess> seen;
  rows_.reserve(rows.size());
  for (size_t row : rows) {
    std::vector<Value> values;
    values.reserve(columns_.size());
    for (size_t column : columns_) values.push_back(CellValue(row, column));
    if (statement_.distinct && !seen.emplace(values, true).second) continue;
    rows_.push_back(std::move(values));
  }
  return Ok{};
}

Status View::CheckWritable(bool temporary) const {
  if (catalog_) {
    return ExecuteError(u"Database: [2]. Table [3] describes the database and cannot be changed "
                        u"by a query: [4].",
                        {statement_.table, text_});
  }
  if (db_.read_only() && !temporary) {
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
  Value v = r.kind == Resolved::Kind::kInteger ? Value::Integer(r.integer) : Value::String(r.text);
  if (kind == CellKind::kStream) {
    return ExecuteError(u"Database: [2]. Column [3] of table [4] holds stream data, which a query "
                        u"can only set to null: [5].",
                        {info.name, statement_.table, text_});
  }
  const bool fits = kind == CellKind::kString ? r.kind == Resolved::Kind::kString
                                              : r.kind == Resolved::Kind::kInteger &&
                                                    FitsInteger(kind, r.integer);
  if (!fits) {
    return ExecuteError(u"Database: [2]. The [3] does not fit column [4] of table [5]: [6].",
                        {DescribeValue(v), info.name, statement_.table, text_});
  }
  return Ok{};
}

// The raw cell for a checked value; adds a string to the pool if needed.
uint32_t View::StoreCell(size_t column, const Resolved& r) {
  const CellKind kind = table_->schema().columns[column].kind();
  switch (r.kind) {
    case Resolved::Kind::kNull: return 0;
    case Resolved::Kind::kString: return db_.strings().InternBytes(r.bytes);
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
  MKX_TRY(CheckWritable(statement_.temporary));
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
      key[k] = db_.strings().FindBytes(r.bytes);
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
  table_->AppendRow(cells, statement_.temporary);
  affected_rows_ = 1;
  return Ok{};
}

Status View::ExecuteUpdate() {
  MKX_TRY(CheckWritable(false));
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
  std::vector<size_t> rows = MatchingRows();
  if (rows.empty()) return Ok{};
  std::vector<uint32_t> cells(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) cells[i] = StoreCell(columns_[i], resolved_[value_ops_[i]]);
  for (size_t row : rows) {
    for (size_t i = 0; i < columns_.size(); ++i) {
      // Unchanged cells are not written, so a table changed by nothing stays clean.
      if (table_->Cell(row, columns_[i]) != cells[i]) table_->SetCell(row, columns_[i], cells[i]);
    }
  }
  affected_rows_ = rows.size();
  return Ok{};
}

Status View::ExecuteDelete() {
  MKX_TRY(CheckWritable(false));
  std::vector<size_t> rows = MatchingRows();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) table_->EraseRow(*it);
  affected_rows_ = rows.size();
  return Ok{};
}

Result<std::optional<std::vector<Value>>> View::Fetch() {
  if (statement_.kind != Statement::Kind::kSelect || !executed_) {
    return Error(ERROR_FUNCTION_FAILED, 2258,
                 u"Database: [2]. Rows can only be fetched from an executed SELECT query: [3].",
                 {DatabaseName(), text_});
  }
  if (next_row_ >= rows_.size()) return std::optional<std::vector<Value>>();
  return std::optional<std::vector<Value>>(std::move(rows_[next_row_++]));
}

void View::Close() {
  executed_ = false;
  rows_.clear();
  rows_.shrink_to_fit();
  next_row_ = 0;
}

std::vector<std::u16string> View::ColumnNames() const {
  std::vector<std::u16string> names;
  if (statement_.kind != Statement::Kind::kSelect) return names;
  for (size_t column : columns_) names.push_back(ColumnName(column));
  return names;
}

std::vector<engine::ColumnInfo> View::Columns() const {
  std::vector<engine::ColumnInfo> infos;
  if (statement_.kind != Statement::Kind::kSelect) return infos;
  for (size_t column : columns_) infos.push_back(table_->schema().columns[column]);
  return infos;
}

}  // namespace mkx::sql
