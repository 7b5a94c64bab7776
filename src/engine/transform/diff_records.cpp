// Diff records: fields, sort keys and stream data of transform records.
#include "engine/transform/diff_records.h"

#include "engine/codepage.h"
#include "engine/stream_name.h"
#include "engine/transform/transform_records.h"

namespace mkx::engine {
namespace {

struct Rank {
  int rank;  // null < integer < text
  int32_t integer;
};

Rank RankOf(const DiffField& f) {
  switch (f.kind) {
    case CellKind::kString: return {f.bytes.empty() ? 0 : 2, 0};
    case CellKind::kStream: return {f.raw ? 1 : 0, f.raw ? 1 : 0};
    default: return {f.raw ? 1 : 0, f.raw ? DecodeInteger(f.kind, f.raw) : 0};
  }
}

// Text order is by UTF-16 code unit. ASCII is the same in every codepage, so ASCII
// bytes compare as they stand.
int CompareText(uint32_t codepage, std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) return a.compare(b);
  return DecodeText(codepage, a).compare(DecodeText(codepage, b));
}

}  // namespace

bool KeyLess(uint32_t codepage, std::span<const DiffField> a, std::span<const DiffField> b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const Rank ra = RankOf(a[i]);
    const Rank rb = RankOf(b[i]);
    if (ra.rank != rb.rank) return ra.rank < rb.rank;
    if (ra.integer != rb.integer) return ra.integer < rb.integer;
    if (ra.rank == 2) {
      if (const int c = CompareText(codepage, a[i].bytes, b[i].bytes)) return c < 0;
    }
  }
  return a.size() < b.size();
}

std::string_view RecordMaker::Keep(std::string bytes) { return text_.emplace_back(std::move(bytes)); }

std::string_view RecordMaker::NameBytes(std::u16string_view name) { return Keep(EncodeText(db_.codepage(), name)); }

// The bytes, in the new database's codepage, of a string of the reference.
std::string_view RecordMaker::RefBytes(uint32_t id) {
  const StringPool& pool = ref_.strings();
  if (pool.Bytes(id).empty()) return {};
  if (SameEncoding(pool.codepage(), db_.codepage())) return pool.Bytes(id);
  return Keep(EncodeText(db_.codepage(), pool.Text(id)));
}

DiffField RecordMaker::Field(const Database& owner, const Table& t, size_t row, size_t col) {
  DiffField f;
  f.kind = t.schema().columns[col].kind();
  const uint32_t raw = t.Cell(row, col);
  switch (f.kind) {
    case CellKind::kString: f.bytes = &owner == &db_ ? db_.strings().Bytes(raw) : RefBytes(raw); break;
    case CellKind::kStream: f.raw = raw ? 1 : 0; break;
    default: f.raw = raw; break;
  }
  return f;
}

std::vector<DiffField> RecordMaker::KeyFields(const Table& t, size_t row, const std::vector<size_t>& cols,
                                              size_t keys) {
  std::vector<DiffField> fields;
  for (size_t i = 0; i < keys; ++i) fields.push_back(Field(db_, t, row, cols[i]));
  return fields;
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

Status RecordMaker::AddInsert(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols) {
  g.rows.Start(record_mask::Insert(cols.size()));
  for (size_t c : cols) {
    const DiffField f = Field(db_, t, row, c);
    g.rows.Put(f);
    if (f.kind == CellKind::kStream && f.raw) MKX_TRY(AddStreamData(t, row));
  }
  return Ok{};
}

void RecordMaker::AddDelete(TableChanges& g, const Database& owner, const Table& t, size_t row,
                            const std::vector<size_t>& cols, size_t keys) {
  g.rows.Start(record_mask::kDelete);
  for (size_t i = 0; i < keys; ++i) g.rows.Put(Field(owner, t, row, cols[i]));
}

Status RecordMaker::AddChange(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols,
                              size_t keys, const std::vector<size_t>& changed) {
  if (changed.back() + 1 > kMaxUpdatableColumn) {
    AddDelete(g, db_, t, row, cols, keys);
    return AddInsert(g, t, row, cols);
  }
  uint16_t mask = 0;
  for (size_t i : changed) mask |= record_mask::UpdateBit(i + 1);
  g.rows.Start(mask);
  for (size_t i = 0; i < keys; ++i) g.rows.Put(Field(db_, t, row, cols[i]));
  for (size_t i : changed) {
    const DiffField f = Field(db_, t, row, cols[i]);
    g.rows.Put(f);
    if (f.kind == CellKind::kStream && f.raw) MKX_TRY(AddStreamData(t, row));
  }
  return Ok{};
}

void RecordMaker::AddCatalogTable(TableChanges& g, std::u16string_view name, bool insert) {
  g.tables.Start(insert ? record_mask::Insert(1) : record_mask::kDelete);
  g.tables.Put({CellKind::kString, 0, NameBytes(name)});
}

void RecordMaker::AddCatalogColumn(TableChanges& g, std::u16string_view table, uint32_t stored_number,
                                   const ColumnInfo* column) {
  g.columns.Start(column ? record_mask::Insert(4) : record_mask::kDelete);
  g.columns.Put({CellKind::kString, 0, NameBytes(table)});
  g.columns.Put({CellKind::kInt16, stored_number, {}});
  if (column) {
    g.columns.Put({CellKind::kString, 0, NameBytes(column->name)});
    g.columns.Put({CellKind::kInt16, static_cast<uint32_t>(column->type ^ 0x8000u), {}});
  }
}

}  // namespace mkx::engine
