// Diff records: fields, sort keys and stream data of transform records.
#include "engine/transform/diff_records.h"

#include "engine/codepage.h"
#include "engine/stream_name.h"
#include "engine/transform/transform_records.h"

namespace mkx::engine {
std::string RecordMaker::NameBytes(std::u16string_view name) const { return EncodeText(db_.codepage(), name); }

// The bytes, in the new database's codepage, of a string of the reference.
std::string RecordMaker::RefBytes(uint32_t id) const {
  const StringPool& pool = ref_.strings();
  if (pool.Bytes(id).empty()) return {};
  if (SameEncoding(pool.codepage(), db_.codepage())) return std::string(pool.Bytes(id));
  return EncodeText(db_.codepage(), pool.Text(id));
}

DiffField RecordMaker::Field(const Database& owner, const Table& t, size_t row, size_t col) const {
  DiffField f;
  f.kind = t.schema().columns[col].kind();
  const uint32_t raw = t.Cell(row, col);
  switch (f.kind) {
    case CellKind::kString:
      f.bytes = &owner == &db_ ? std::string(db_.strings().Bytes(raw)) : RefBytes(raw);
      break;
    case CellKind::kStream: f.raw = raw ? 1 : 0; break;
    default: f.raw = raw; break;
  }
  return f;
}

std::vector<KeyPart> RecordMaker::OrderKey(const Database& owner, const Table& t, size_t row,
                                           const std::vector<size_t>& cols, size_t keys) {
  std::vector<KeyPart> key;
  for (size_t i = 0; i < keys; ++i) {
    const ColumnInfo& c = t.schema().columns[cols[i]];
    const uint32_t raw = t.Cell(row, cols[i]);
    KeyPart part;
    if (c.kind() == CellKind::kString) {
      if (!owner.strings().Bytes(raw).empty()) {
        part.rank = 2;
        part.text = owner.strings().Text(raw);
      }
    } else if (raw != 0) {
      part.rank = 1;
      part.integer = c.kind() == CellKind::kStream ? 1 : DecodeInteger(c.kind(), raw);
    }
    key.push_back(std::move(part));
  }
  return key;
}

// Carries the data of a stream cell of the new database into the transform.
Status RecordMaker::AddStreamData(const Table& t, size_t row) {
  const std::u16string logical = db_.StreamDataName(t, row);
  const std::u16string name = EncodeStreamName(logical, false);
  if (!data_names_.insert(name).second) return Ok{};
  if (name.size() > 31) {
    return Error(result_code::kInvalidTable, 2228, u"Table [2] cannot be transformed: [3].",
                 {t.schema().name, u"the data stream name " + logical + u" is too long"});
  }
  std::vector<uint8_t> data;
  if (db_.file().FindStream(name)) {
    auto read = db_.file().ReadStream(name);
    if (!read.ok()) return read.take_error();
    data = std::move(*read);
  }
  data_streams_.push_back({name, std::move(data)});
  return Ok{};
}

Status RecordMaker::AddInsert(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols,
                              size_t keys) {
  DiffRecord r;
  r.mask = record_mask::Insert(cols.size());
  for (size_t c : cols) {
    r.fields.push_back(Field(db_, t, row, c));
    if (r.fields.back().kind == CellKind::kStream && r.fields.back().raw) MKX_TRY(AddStreamData(t, row));
  }
  r.order = OrderKey(db_, t, row, cols, keys);
  g.rows.push_back(std::move(r));
  return Ok{};
}

void RecordMaker::AddDelete(TableChanges& g, const Database& owner, const Table& t, size_t row,
                            const std::vector<size_t>& cols, size_t keys) {
  DiffRecord r;
  r.mask = record_mask::kDelete;
  for (size_t i = 0; i < keys; ++i) r.fields.push_back(Field(owner, t, row, cols[i]));
  r.order = OrderKey(owner, t, row, cols, keys);
  g.rows.push_back(std::move(r));
}

Status RecordMaker::AddChange(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols,
                              size_t keys, const std::vector<size_t>& changed) {
  if (changed.back() + 1 > kMaxUpdatableColumn) {
    AddDelete(g, db_, t, row, cols, keys);
    return AddInsert(g, t, row, cols, keys);
  }
  DiffRecord r;
  for (size_t i = 0; i < keys; ++i) r.fields.push_back(Field(db_, t, row, cols[i]));
  for (size_t i : changed) {
    r.mask |= record_mask::UpdateBit(i + 1);
    r.fields.push_back(Field(db_, t, row, cols[i]));
    if (r.fields.back().kind == CellKind::kStream && r.fields.back().raw) MKX_TRY(AddStreamData(t, row));
  }
  r.order = OrderKey(db_, t, row, cols, keys);
  g.rows.push_back(std::move(r));
  return Ok{};
}

void RecordMaker::AddCatalogTable(TableChanges& g, std::u16string_view name, bool insert) {
  DiffRecord r;
  r.mask = insert ? record_mask::Insert(1) : record_mask::kDelete;
  r.fields.push_back({CellKind::kString, 0, NameBytes(name)});
  r.order = {KeyPart{2, 0, std::u16string(name)}};
  g.tables.push_back(std::move(r));
}

void RecordMaker::AddCatalogColumn(TableChanges& g, std::u16string_view table, size_t n, uint32_t stored_number,
                                   const ColumnInfo* column) {
  DiffRecord r;
  r.mask = column ? record_mask::Insert(4) : record_mask::kDelete;
  r.fields.push_back({CellKind::kString, 0, NameBytes(table)});
  r.fields.push_back({CellKind::kInt16, stored_number, {}});
  if (column) {
    r.fields.push_back({CellKind::kString, 0, NameBytes(column->name)});
    r.fields.push_back({CellKind::kInt16, static_cast<uint32_t>(column->type ^ 0x8000u), {}});
  }
  r.order = {KeyPart{2, 0, std::u16string(table)}, KeyPart{1, static_cast<int32_t>(n), {}}};
  g.columns.push_back(std::move(r));
}

}  // namespace mkx::engine
