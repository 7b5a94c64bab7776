// Transform diff: both databases decoded, tables compared row by row.
#include "engine/transform/transform_diff.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "engine/codepage.h"
#include "engine/stream_name.h"
#include "engine/transform/diff_records.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr size_t kCompareChunk = 64 * 1024;

std::vector<size_t> PersistentColumns(const TableSchema& schema) {
  std::vector<size_t> cols;
  for (size_t i = 0; i < schema.columns.size(); ++i) {
    if (!schema.columns[i].temporary()) cols.push_back(i);
  }
  return cols;
}

// Leading key columns among `cols`; a table with no declared key is keyed by its
// whole row.
size_t KeyCount(const TableSchema& s, const std::vector<size_t>& cols) {
  size_t keys = 0;
  while (keys < cols.size() && s.columns[cols[keys]].is_key()) ++keys;
  return keys ? keys : cols.size();
}

std::u16string Decimal(uint64_t v) { return platform::FromAscii(std::to_string(v)); }

Error TableError(std::u16string_view table, const std::u16string& detail) {
  return Error(result_code::kInvalidTable, 2228, u"Table [2] cannot be transformed: [3].",
               {std::u16string(table), detail});
}

Status CheckCompatible(const TableSchema& ds, const std::vector<size_t>& dcols, const TableSchema& rs,
                       const std::vector<size_t>& rcols) {
  if (rcols.size() > dcols.size()) return TableError(ds.name, u"a column was removed");
  for (size_t i = 0; i < rcols.size(); ++i) {
    const ColumnInfo& d = ds.columns[dcols[i]];
    const ColumnInfo& r = rs.columns[rcols[i]];
    if (d.name != r.name || d.kind() != r.kind() || d.is_key() != r.is_key()) {
      return TableError(ds.name, u"column " + Decimal(i + 1) + u" (" + d.name + u") changed its definition");
    }
  }
  for (size_t i = rcols.size(); i < dcols.size(); ++i) {
    if (ds.columns[dcols[i]].is_key()) return TableError(ds.name, u"a key column was added");
  }
  return Ok{};
}

// One table's comparison: the persistent columns of both sides and its key count.
struct TablePair {
  const Table& dt;
  const Table& rt;
  std::vector<size_t> dcols;
  std::vector<size_t> rcols;
  size_t keys;
};

class DiffBuilder {
 public:
  DiffBuilder(Database& db, Database& ref)
      : db_(db), ref_(ref), same_encoding_(SameEncoding(db.codepage(), ref.codepage())), records_(db, ref) {}

  Result<TransformDiff> Run() {
    TransformDiff diff;
    diff.codepage = db_.codepage();
    for (const std::u16string& name : db_.TableNames()) {
      const TableSchema* ds = db_.FindSchema(name);
      if (!ds || PersistentColumns(*ds).empty()) continue;
      const TableSchema* rs = ref_.FindSchema(name);
      TableChanges changes;
      changes.name = name;
      if (rs && !PersistentColumns(*rs).empty()) {
        MKX_TRY(DiffTable(*ds, *rs, changes));
      } else {
        MKX_TRY(AddTable(*ds, changes));
      }
      diff.tables.push_back(std::move(changes));
    }
    for (const std::u16string& name : ref_.TableNames()) {
      const TableSchema* rs = ref_.FindSchema(name);
      if (!rs || PersistentColumns(*rs).empty()) continue;
      const TableSchema* ds = db_.FindSchema(name);
      if (ds && !PersistentColumns(*ds).empty()) continue;
      TableChanges changes;
      changes.name = name;
      DropTable(*rs, changes);
      diff.tables.push_back(std::move(changes));
    }
    diff.data_streams = records_.TakeDataStreams();
    diff.text = records_.TakeText();
    return diff;
  }

 private:
  // ---- values ---------------------------------------------------------------------

  // Whether a string cell of the new database and one of the reference hold the same
  // text. Null and unused slots read as null.
  bool SameText(uint32_t db_id, uint32_t ref_id) const {
    const std::string_view a = db_.strings().Bytes(db_id);
    const std::string_view b = ref_.strings().Bytes(ref_id);
    if (a.empty() || b.empty()) return a.empty() == b.empty();
    return same_encoding_ ? a == b : db_.strings().Text(db_id) == ref_.strings().Text(ref_id);
  }

  // Whether two cells of one column hold the same value; a stream cell by whether it
  // has data (SameStreamData compares the data).
  bool SameCell(CellKind kind, uint32_t d, uint32_t r) const {
    switch (kind) {
      case CellKind::kString: return SameText(d, r);
      case CellKind::kStream: return (d != 0) == (r != 0);
      default: return d == r;
    }
  }

  // A string as one key part, comparable across the two databases: its bytes when
  // both share an encoding, its UTF-16 text otherwise.
  std::string KeyString(const StringPool& pool, uint32_t id) const {
    if (pool.Bytes(id).empty()) return {};
    if (same_encoding_) return std::string(pool.Bytes(id));
    const std::u16string text = pool.Text(id);
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  }

  // The key of a row as one string, built the same way for both databases.
  std::string RowKey(const StringPool& pool, const Table& t, size_t row, const std::vector<size_t>& cols,
                     size_t keys) const {
    std::string key;
    for (size_t i = 0; i < keys; ++i) {
      uint32_t v = t.Cell(row, cols[i]);
      const CellKind kind = t.schema().columns[cols[i]].kind();
      if (kind == CellKind::kString) {
        const std::string text = KeyString(pool, v);
        v = static_cast<uint32_t>(text.size());
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
        key += text;
        continue;
      }
      if (kind == CellKind::kStream) v = v ? 1 : 0;
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    return key;
  }

  // ---- stream data ----------------------------------------------------------------

  // Whether two data streams hold the same bytes: sizes first, then bounded chunks.
  Result<bool> SameStreamData(const std::u16string& db_name, const std::u16string& ref_name) const {
    const std::u16string d = EncodeStreamName(db_name, false);
    const std::u16string r = EncodeStreamName(ref_name, false);
    auto ds = db_.file().FindStream(d);
    auto rs = ref_.file().FindStream(r);
    if (!ds || !rs) return !ds && !rs;
    if (ds->size != rs->size) return false;
    std::vector<uint8_t> a(static_cast<size_t>(std::min<uint64_t>(kCompareChunk, ds->size)));
    std::vector<uint8_t> b(a.size());
    for (uint64_t at = 0; at < ds->size; at += a.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(a.size(), ds->size - at));
      MKX_TRY(db_.file().ReadStreamRange(d, at, std::span(a).first(n)));
      MKX_TRY(ref_.file().ReadStreamRange(r, at, std::span(b).first(n)));
      if (!std::equal(a.begin(), a.begin() + n, b.begin())) return false;
    }
    return true;
  }

  // ---- tables ---------------------------------------------------------------------

  Status AddTable(const TableSchema& ds, TableChanges& g) {
    const std::vector<size_t> cols = PersistentColumns(ds);
    records_.AddCatalogTable(g, ds.name, true);
    for (size_t i = 0; i < cols.size(); ++i) records_.AddCatalogColumn(g, ds.name, 0, &ds.columns[cols[i]]);
    auto table = db_.GetTable(ds.name);
    if (!table.ok()) return table.take_error();
    const Table& t = **table;
    g.row_keys = KeyCount(ds, cols);
    for (size_t row = 0; row < t.row_count(); ++row) MKX_TRY(records_.AddInsert(g, t, row, cols));
    return Ok{};
  }

  void DropTable(const TableSchema& rs, TableChanges& g) {
    const std::vector<size_t> cols = PersistentColumns(rs);
    records_.AddCatalogTable(g, rs.name, false);
    for (size_t i = 0; i < cols.size(); ++i) {
      records_.AddCatalogColumn(g, rs.name, static_cast<uint32_t>(0x8000 + i + 1), nullptr);
    }
  }

  // The non-key columns (positions in dcols) whose cells differ between a row of the
  // new database and its counterpart in the reference. A column the reference lacks
  // differs unless the new cell is null.
  Status ChangedColumns(const TablePair& p, size_t row, size_t rrow, std::vector<size_t>& changed) const {
    changed.clear();
    for (size_t i = p.keys; i < p.dcols.size(); ++i) {
      const uint32_t d = p.dt.Cell(row, p.dcols[i]);
      const uint32_t r = i < p.rcols.size() ? p.rt.Cell(rrow, p.rcols[i]) : 0;  // null where it lacks the column
      const CellKind kind = p.dt.schema().columns[p.dcols[i]].kind();
      bool same = SameCell(kind, d, r);
      if (same && kind == CellKind::kStream && d != 0) {
        auto equal = SameStreamData(db_.StreamDataName(p.dt, row), ref_.StreamDataName(p.rt, rrow));
        if (!equal.ok()) return equal.take_error();
        same = *equal;
      }
      if (!same) changed.push_back(i);
    }
    return Ok{};
  }

  // Records address rows by key, so none could tell two rows of one key apart.
  Error KeyHeldTwice(const StringPool& pool, const Table& t, size_t row, const std::vector<size_t>& cols) const {
    std::u16string key;
    if (t.schema().columns[cols[0]].kind() == CellKind::kString) {
      key = u" " + DecodeText(pool.codepage(), KeyString(pool, t.Cell(row, cols[0])));
    }
    return TableError(t.schema().name, u"two of its rows hold the key" + key);
  }

  // Each row of a table by its key; a key held by two rows is an error.
  Result<std::unordered_map<std::string, size_t>> RowsByKey(const StringPool& pool, const Table& t,
                                                            const std::vector<size_t>& cols, size_t keys) const {
    std::unordered_map<std::string, size_t> rows;
    for (size_t row = 0; row < t.row_count(); ++row) {
      if (!rows.emplace(RowKey(pool, t, row, cols, keys), row).second) return KeyHeldTwice(pool, t, row, cols);
    }
    return rows;
  }

  // Whether every persistent row of both tables has the same key at the same position.
  bool SameKeysInOrder(const TablePair& p) const {
    if (p.dt.row_count() != p.rt.row_count()) return false;
    for (size_t row = 0; row < p.dt.row_count(); ++row) {
      for (size_t i = 0; i < p.keys; ++i) {
        const CellKind kind = p.dt.schema().columns[p.dcols[i]].kind();
        if (!SameCell(kind, p.dt.Cell(row, p.dcols[i]), p.rt.Cell(row, p.rcols[i]))) return false;
      }
    }
    return true;
  }

  // Pairs each row of the new database with the reference row of the same position
  // (SameKeysInOrder) or of the same key, and records what changed.
  Status DiffRows(const TablePair& p, TableChanges& g) {
    std::vector<size_t> changed;
    if (SameKeysInOrder(p)) {
      bool any = false;
      for (size_t row = 0; row < p.dt.row_count(); ++row) {
        MKX_TRY(ChangedColumns(p, row, row, changed));
        if (changed.empty()) continue;
        MKX_TRY(records_.AddChange(g, p.dt, row, p.dcols, p.keys, changed));
        any = true;
      }
      // Both sides hold the same keys, so the reference's are the ones to check.
      if (any) MKX_TRY(RowsByKey(ref_.strings(), p.rt, p.rcols, p.keys));
      return Ok{};
    }
    auto ref_rows = RowsByKey(ref_.strings(), p.rt, p.rcols, p.keys);
    if (!ref_rows.ok()) return ref_rows.take_error();
    std::vector<bool> matched(p.rt.row_count(), false);
    for (size_t row = 0; row < p.dt.row_count(); ++row) {
      auto found = ref_rows->find(RowKey(db_.strings(), p.dt, row, p.dcols, p.keys));
      if (found == ref_rows->end()) {
        MKX_TRY(records_.AddInsert(g, p.dt, row, p.dcols));
        continue;
      }
      if (matched[found->second]) return KeyHeldTwice(db_.strings(), p.dt, row, p.dcols);
      matched[found->second] = true;
      MKX_TRY(ChangedColumns(p, row, found->second, changed));
      if (!changed.empty()) MKX_TRY(records_.AddChange(g, p.dt, row, p.dcols, p.keys, changed));
    }
    for (size_t row = 0; row < p.rt.row_count(); ++row) {
      if (!matched[row]) records_.AddDelete(g, ref_, p.rt, row, p.rcols, p.keys);
    }
    return Ok{};
  }

  Status DiffTable(const TableSchema& ds, const TableSchema& rs, TableChanges& g) {
    std::vector<size_t> dcols = PersistentColumns(ds);
    std::vector<size_t> rcols = PersistentColumns(rs);
    MKX_TRY(CheckCompatible(ds, dcols, rs, rcols));
    for (size_t i = rcols.size(); i < dcols.size(); ++i) {
      records_.AddCatalogColumn(g, ds.name, static_cast<uint32_t>(0x8000 + i + 1), &ds.columns[dcols[i]]);
    }
    auto dtable = db_.GetTable(ds.name);
    if (!dtable.ok()) return dtable.take_error();
    auto rtable = ref_.GetTable(rs.name);
    if (!rtable.ok()) return rtable.take_error();
    const size_t keys = KeyCount(ds, dcols);
    g.row_keys = keys;
    const TablePair pair{**dtable, **rtable, std::move(dcols), std::move(rcols), keys};
    MKX_TRY(DiffRows(pair, g));
    // A table that gained columns needs a record, or a reader may keep its stream at
    // the old width: rewrite the new cell of its lowest-key row (null, or the row
    // would already have a record).
    if (pair.dcols.size() > pair.rcols.size() && g.rows.empty()) {
      std::optional<size_t> first_row;
      std::vector<DiffField> first_key;
      for (size_t row = 0; row < pair.dt.row_count(); ++row) {
        std::vector<DiffField> key = records_.KeyFields(pair.dt, row, pair.dcols, keys);
        if (!first_row || KeyLess(db_.codepage(), key, first_key)) {
          first_row = row;
          first_key = std::move(key);
        }
      }
      if (first_row) MKX_TRY(records_.AddChange(g, pair.dt, *first_row, pair.dcols, keys, {pair.rcols.size()}));
    }
    return Ok{};
  }

  Database& db_;
  Database& ref_;
  const bool same_encoding_;
  RecordMaker records_;
};

}  // namespace

bool TransformDiff::empty() const {
  for (const TableChanges& g : tables) {
    if (!g.tables.empty() || !g.columns.empty() || !g.rows.empty()) return false;
  }
  return true;
}

Result<TransformDiff> DiffDatabases(Database& database, Database& reference) {
  return DiffBuilder(database, reference).Run();
}

}  // namespace mkx::engine
