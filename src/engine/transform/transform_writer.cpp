#include "engine/transform/transform_writer.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <unordered_map>

#include "engine/codepage.h"
#include "engine/compound/compound_file.h"
#include "engine/stream_name.h"
#include "engine/transform/transform_records.h"
#include "platform/file.h"
#include "platform/signal_cleanup.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr uint32_t kNoString = 0xFFFFFFFF;
constexpr size_t kCompareChunk = 64 * 1024;

bool SameEncoding(uint32_t a, uint32_t b) {
  auto norm = [](uint32_t cp) { return cp == 0 ? 1252u : cp; };
  return norm(a) == norm(b);
}

// A string id with empty bytes (null or an unused slot) reads as null.
uint32_t NormalizeId(const StringPool& pool, uint32_t id) { return pool.Bytes(id).empty() ? 0 : id; }

// Matches string ids of one pool with ids of the same text in another, memoized.
class StringMatcher {
 public:
  StringMatcher(const StringPool& from, const StringPool& to)
      : from_(from), to_(to), same_bytes_(SameEncoding(from.codepage(), to.codepage())) {
    if (!same_bytes_) return;
    from_.MarkSameStrings(to_, same_at_id_);
    // Where `to` holds other bytes than `from` (or ids `from` lacks), in id order.
    for (uint32_t id = 1; id < to_.slot_count(); ++id) {
      if (to_.Bytes(id).empty() || SameAtId(id)) continue;
      if (differing_.size() == kMaxDiffering) {
        differing_.clear();
        differing_complete_ = false;
        break;
      }
      differing_.push_back(id);
    }
  }

  /// The id in `to` of the text of `id` in `from`: 0 for null, kNoString if absent.
  uint32_t Map(uint32_t id) {
    id = NormalizeId(from_, id);
    if (id == 0) return 0;
    auto [it, added] = cache_.try_emplace(id, kNoString);
    if (added) {
      uint32_t found = 0;
      if (same_bytes_) {
        // Two versions of one database mostly keep a string at the same id: that id
        // is then the answer, and no lookup (or index of the whole pool) is needed.
        found = SameAtId(id) ? id : FindInTo(id);
      } else {
        const std::u16string text = from_.Text(id);
        found = to_.FindText(text);
        if (found != 0 && to_.Text(found) != text) found = 0;  // lossy conversion
      }
      if (found != 0) it->second = found;
    }
    return it->second;
  }

  /// Whether both pools hold the same (non-null) bytes at this id.
  bool SameAtId(uint32_t id) const { return id < same_at_id_.size() && same_at_id_[id]; }

  /// Whether the two cells hold the same text, compared directly (no lookup; a pool
  /// may hold a text twice, so equal texts need not have equal ids). Null and unused
  /// slots read as null.
  bool SameText(uint32_t from_id, uint32_t to_id) const {
    if (from_id == to_id && SameAtId(from_id)) return true;
    const std::string_view a = from_.Bytes(from_id);
    const std::string_view b = to_.Bytes(to_id);
    if (a.empty() || b.empty()) return a.empty() == b.empty();
    return same_bytes_ ? a == b : from_.Text(from_id) == to_.Text(to_id);
  }

 private:
  // At most this many ids of `to` are kept in differing_; beyond, lookups use the pool.
  static constexpr size_t kMaxDiffering = 4096;

  // The lowest id of `to` holding the bytes of `id` in `from`, or 0.
  uint32_t FindInTo(uint32_t id) const {
    const std::string_view bytes = from_.Bytes(id);
    // A string `from` added is its only copy there. Were `to` to hold it at an id
    // where both pools agree, `from` would hold it there too, a second copy; so
    // `to` can hold it only where the pools differ.
    if (differing_complete_ && from_.IsAdded(id)) {
      for (const uint32_t candidate : differing_) {
        if (to_.Bytes(candidate) == bytes) return candidate;
      }
      return 0;
    }
    return to_.FindBytes(bytes);
  }

  const StringPool& from_;
  const StringPool& to_;
  bool same_bytes_;
  std::vector<bool> same_at_id_;  // both pools hold the same bytes at this id
  std::vector<uint32_t> differing_;  // ids of `to` whose bytes `from` lacks at that id
  bool differing_complete_ = true;
  std::unordered_map<uint32_t, uint32_t> cache_;
};

// One part of a record's sort key: null < integer < text.
struct KeyPart {
  int rank = 0;
  int32_t integer = 0;
  std::u16string text;
  friend auto operator<=>(const KeyPart&, const KeyPart&) = default;
};

// A record whose strings are still bytes (in the new database's codepage); they get
// transform ids once every record is known, in order of first use.
struct PendingField {
  CellKind kind = CellKind::kString;
  uint32_t raw = 0;
  std::string bytes;
};

struct PendingRecord {
  uint16_t mask = 0;
  std::vector<PendingField> fields;
  std::vector<KeyPart> order;
};

// Everything one table contributes: its catalog records and its own records.
struct TableGroup {
  std::u16string name;
  std::vector<PendingRecord> tables;
  std::vector<PendingRecord> columns;
  std::vector<PendingRecord> rows;
};

std::vector<size_t> PersistentColumns(const TableSchema& schema) {
  std::vector<size_t> cols;
  for (size_t i = 0; i < schema.columns.size(); ++i) {
    if (!schema.columns[i].temporary()) cols.push_back(i);
  }
  return cols;
}

std::u16string Decimal(uint64_t v) { return platform::FromAscii(std::to_string(v)); }

Error TableError(std::u16string_view table, const std::u16string& detail) {
  return Error(ERROR_INVALID_TABLE, 2228, u"Table [2] cannot be transformed: [3].",
               {std::u16string(table), detail});
}

Error CreateError(const std::string& path, const Error& cause) {
  std::u16string reason = cause.fields.size() >= 2 ? cause.fields[1] : cause.message_template;
  return Error(ERROR_CREATE_FAILED, 2203, u"Database: [2]. Cannot open database file. System error [3].",
               {platform::DecodePath(path), reason});
}

class TransformBuilder {
 public:
  TransformBuilder(Database& db, Database& ref)
      : db_(db), ref_(ref), db_to_ref_(db.strings(), ref.strings()) {}

  Status Compare() {
    for (const std::u16string& name : db_.TableNames()) {
      const TableSchema* ds = db_.FindSchema(name);
      if (!ds || PersistentColumns(*ds).empty()) continue;
      const TableSchema* rs = ref_.FindSchema(name);
      TableGroup group;
      group.name = name;
      if (rs && !PersistentColumns(*rs).empty()) {
        MKX_TRY(DiffTable(*ds, *rs, group));
      } else {
        MKX_TRY(AddTable(*ds, group));
      }
      groups_.push_back(std::move(group));
    }
    for (const std::u16string& name : ref_.TableNames()) {
      const TableSchema* rs = ref_.FindSchema(name);
      if (!rs || PersistentColumns(*rs).empty()) continue;
      const TableSchema* ds = db_.FindSchema(name);
      if (ds && !PersistentColumns(*ds).empty()) continue;
      TableGroup group;
      group.name = name;
      DropTable(*rs, group);
      groups_.push_back(std::move(group));
    }
    return Ok{};
  }

  bool empty() const {
    for (const TableGroup& g : groups_) {
      if (!g.tables.empty() || !g.columns.empty() || !g.rows.empty()) return false;
    }
    return true;
  }

  std::vector<TransformStream> Serialize() {
    TransformStringPool pool(db_.codepage());
    auto by_order = [](const PendingRecord& a, const PendingRecord& b) { return a.order < b.order; };
    auto intern = [&](const std::vector<PendingRecord>& records) {
      for (const PendingRecord& r : records) {
        for (const PendingField& f : r.fields) {
          if (f.kind == CellKind::kString) pool.Use(f.bytes);
        }
      }
    };
    std::vector<PendingRecord> all_tables, all_columns;
    for (TableGroup& g : groups_) {
      std::stable_sort(g.tables.begin(), g.tables.end(), by_order);
      std::stable_sort(g.columns.begin(), g.columns.end(), by_order);
      std::stable_sort(g.rows.begin(), g.rows.end(), by_order);
      intern(g.tables);
      intern(g.columns);
      intern(g.rows);
      all_tables.insert(all_tables.end(), g.tables.begin(), g.tables.end());
      all_columns.insert(all_columns.end(), g.columns.begin(), g.columns.end());
    }
    std::stable_sort(all_tables.begin(), all_tables.end(), by_order);
    std::stable_sort(all_columns.begin(), all_columns.end(), by_order);

    const unsigned width = pool.ref_width();
    auto encode = [&](const std::vector<PendingRecord>& records) {
      std::vector<uint8_t> out;
      for (const PendingRecord& r : records) {
        TransformRecord record;
        record.mask = r.mask;
        for (const PendingField& f : r.fields) {
          record.fields.push_back({f.kind, f.kind == CellKind::kString ? pool.Find(f.bytes) : f.raw});
        }
        EncodeRecord(record, width, out);
      }
      return out;
    };

    std::vector<TransformStream> streams;
    TransformStream pool_stream{EncodeStreamName(u"_StringPool", true), {}};
    TransformStream data_stream{EncodeStreamName(u"_StringData", true), {}};
    pool.Serialize(pool_stream.data, data_stream.data);
    streams.push_back(std::move(pool_stream));
    streams.push_back(std::move(data_stream));
    if (!all_tables.empty()) streams.push_back({EncodeStreamName(u"_Tables", true), encode(all_tables)});
    if (!all_columns.empty()) streams.push_back({EncodeStreamName(u"_Columns", true), encode(all_columns)});
    for (const TableGroup& g : groups_) {
      if (!g.rows.empty()) streams.push_back({EncodeStreamName(g.name, true), encode(g.rows)});
    }
    for (TransformStream& s : data_streams_) streams.push_back(std::move(s));
    data_streams_.clear();
    return streams;
  }

 private:
  // ---- values -------------------------------------------------------------------

  std::string NameBytes(std::u16string_view name) const { return EncodeText(db_.codepage(), name); }

  // The bytes, in the new database's codepage, of a string of the reference.
  std::string RefBytes(uint32_t id) const {
    const StringPool& pool = ref_.strings();
    if (SameEncoding(pool.codepage(), db_.codepage())) return std::string(pool.Bytes(id));
    if (pool.Bytes(id).empty()) return {};
    return EncodeText(db_.codepage(), pool.Text(id));
  }

  static PendingField Field(const Database& owner, const Table& t, size_t row, size_t col,
                            const std::string* converted) {
    PendingField f;
    f.kind = t.schema().columns[col].kind();
    const uint32_t raw = t.Cell(row, col);
    switch (f.kind) {
      case CellKind::kString: f.bytes = converted ? *converted : std::string(owner.strings().Bytes(raw)); break;
      case CellKind::kStream: f.raw = raw ? 1 : 0; break;
      default: f.raw = raw; break;
    }
    return f;
  }

  PendingField DbField(const Table& t, size_t row, size_t col) const { return Field(db_, t, row, col, nullptr); }
  PendingField RefField(const Table& t, size_t row, size_t col) const {
    if (t.schema().columns[col].kind() == CellKind::kString) {
      const std::string bytes = RefBytes(t.Cell(row, col));
      return Field(ref_, t, row, col, &bytes);
    }
    return Field(ref_, t, row, col, nullptr);
  }

  static std::vector<KeyPart> OrderKey(const Database& owner, const Table& t, size_t row,
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

  // Carries the data of a stream cell of the new database into the transform.
  Status AddStreamData(const Table& t, size_t row) {
    const std::u16string logical = db_.StreamDataName(t, row);
    const std::u16string name = EncodeStreamName(logical, false);
    if (!data_names_.insert(name).second) return Ok{};
    if (name.size() > 31) {
      return TableError(t.schema().name, u"the data stream name " + logical + u" is too long");
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

  // ---- records --------------------------------------------------------------------

  Status AddInsert(TableGroup& g, const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys) {
    PendingRecord r;
    r.mask = record_mask::Insert(cols.size());
    for (size_t c : cols) {
      r.fields.push_back(DbField(t, row, c));
      if (r.fields.back().kind == CellKind::kStream && r.fields.back().raw) MKX_TRY(AddStreamData(t, row));
    }
    r.order = OrderKey(db_, t, row, cols, keys);
    g.rows.push_back(std::move(r));
    return Ok{};
  }

  void AddDelete(TableGroup& g, const Database& owner, const Table& t, size_t row, const std::vector<size_t>& cols,
                 size_t keys) {
    PendingRecord r;
    r.mask = record_mask::kDelete;
    for (size_t i = 0; i < keys; ++i) {
      r.fields.push_back(&owner == &db_ ? DbField(t, row, cols[i]) : RefField(t, row, cols[i]));
    }
    r.order = OrderKey(owner, t, row, cols, keys);
    g.rows.push_back(std::move(r));
  }

  // `changed` holds 0-based positions in `cols`, ascending, all <= 16th column.
  Status AddUpdate(TableGroup& g, const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys,
                   const std::vector<size_t>& changed) {
    PendingRecord r;
    for (size_t i = 0; i < keys; ++i) r.fields.push_back(DbField(t, row, cols[i]));
    for (size_t i : changed) {
      r.mask |= record_mask::UpdateBit(i + 1);
      r.fields.push_back(DbField(t, row, cols[i]));
      if (r.fields.back().kind == CellKind::kStream && r.fields.back().raw) MKX_TRY(AddStreamData(t, row));
    }
    r.order = OrderKey(db_, t, row, cols, keys);
    g.rows.push_back(std::move(r));
    return Ok{};
  }

  // A changed row: an UPDATE when the mask can name every changed column, else the
  // row is deleted and inserted whole.
  Status AddChange(TableGroup& g, const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys,
                   const std::vector<size_t>& changed) {
    if (changed.back() + 1 <= kMaxUpdatableColumn) return AddUpdate(g, t, row, cols, keys, changed);
    AddDelete(g, db_, t, row, cols, keys);
    return AddInsert(g, t, row, cols, keys);
  }

  void AddCatalogTable(TableGroup& g, std::u16string_view name, bool insert) {
    PendingRecord r;
    r.mask = insert ? record_mask::Insert(1) : record_mask::kDelete;
    r.fields.push_back({CellKind::kString, 0, NameBytes(name)});
    r.order = {KeyPart{2, 0, std::u16string(name)}};
    g.tables.push_back(std::move(r));
  }

  // A _Columns record; `stored_number` is the Number cell (0, or 0x8000 + n).
  void AddCatalogColumn(TableGroup& g, std::u16string_view table, size_t n, uint32_t stored_number,
                        const ColumnInfo* column) {
    PendingRecord r;
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

  // ---- tables -------------------------------------------------------------------

  static size_t KeyCount(const TableSchema& s, const std::vector<size_t>& cols) {
    size_t keys = 0;
    while (keys < cols.size() && s.columns[cols[keys]].is_key()) ++keys;
    return keys ? keys : cols.size();  // no declared key: the whole row identifies it
  }

  Status AddTable(const TableSchema& ds, TableGroup& g) {
    const std::vector<size_t> cols = PersistentColumns(ds);
    AddCatalogTable(g, ds.name, true);
    for (size_t i = 0; i < cols.size(); ++i) AddCatalogColumn(g, ds.name, i + 1, 0, &ds.columns[cols[i]]);
    auto table = db_.GetTable(ds.name);
    if (!table.ok()) return table.take_error();
    const Table& t = **table;
    const size_t keys = KeyCount(ds, cols);
    for (size_t row = 0; row < t.row_count(); ++row) {
      if (!t.IsTemporaryRow(row)) MKX_TRY(AddInsert(g, t, row, cols, keys));
    }
    return Ok{};
  }

  void DropTable(const TableSchema& rs, TableGroup& g) {
    const std::vector<size_t> cols = PersistentColumns(rs);
    AddCatalogTable(g, rs.name, false);
    for (size_t i = 0; i < cols.size(); ++i) {
      AddCatalogColumn(g, rs.name, i + 1, static_cast<uint32_t>(0x8000 + i + 1), nullptr);
    }
  }

  // Canonical key of a reference row: its raw key cells, strings normalized.
  static std::string RefKey(const StringPool& pool, const Table& t, size_t row, const std::vector<size_t>& cols,
                            size_t keys) {
    std::string key;
    for (size_t i = 0; i < keys; ++i) {
      uint32_t v = t.Cell(row, cols[i]);
      if (t.schema().columns[cols[i]].kind() == CellKind::kString) v = NormalizeId(pool, v);
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    return key;
  }

  // The key of a new-database row expressed in reference cells; nullopt when a key
  // string does not occur in the reference at all.
  std::optional<std::string> DbKeyInRef(const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys) {
    std::string key;
    for (size_t i = 0; i < keys; ++i) {
      uint32_t v = t.Cell(row, cols[i]);
      if (t.schema().columns[cols[i]].kind() == CellKind::kString) {
        v = db_to_ref_.Map(v);
        if (v == kNoString) return std::nullopt;
      } else if (t.schema().columns[cols[i]].kind() == CellKind::kStream) {
        v = v ? 1 : 0;
      }
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    return key;
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

  // Whether both tables hold the same persistent rows in the same order, cell by
  // cell (strings compared as text, stream data by content). This is the common case
  // of a table the change did not touch, decided in one pass without any key index;
  // anything else (rows moved, added or removed) goes through the keyed comparison.
  Result<bool> SameRows(const Table& dt, const Table& rt, const std::vector<size_t>& dcols,
                        const std::vector<size_t>& rcols) {
    if (dcols.size() != rcols.size() || dt.row_count() != rt.row_count()) return false;
    const TableSchema& ds = dt.schema();
    for (size_t row = 0; row < dt.row_count(); ++row) {
      if (dt.IsTemporaryRow(row) != rt.IsTemporaryRow(row)) return false;
      if (dt.IsTemporaryRow(row)) continue;
      for (size_t i = 0; i < dcols.size(); ++i) {
        const uint32_t d = dt.Cell(row, dcols[i]);
        const uint32_t r = rt.Cell(row, rcols[i]);
        switch (ds.columns[dcols[i]].kind()) {
          case CellKind::kString:
            if (!db_to_ref_.SameText(d, r)) return false;
            break;
          case CellKind::kStream:
            if ((d != 0) != (r != 0)) return false;
            break;
          default:
            if (d != r) return false;
            break;
        }
      }
    }
    // Stream data last: only once every cell matched, and each stream by size first.
    for (size_t row = 0; row < dt.row_count(); ++row) {
      if (dt.IsTemporaryRow(row)) continue;
      for (size_t i = 0; i < dcols.size(); ++i) {
        if (ds.columns[dcols[i]].kind() != CellKind::kStream || dt.Cell(row, dcols[i]) == 0) continue;
        auto equal = SameStreamData(db_.StreamDataName(dt, row), ref_.StreamDataName(rt, row));
        if (!equal.ok() || !*equal) return equal;
      }
    }
    return true;
  }

  // Whether both files store the table with the same bytes, every string reference
  // naming the same text in both pools. This decides the common case of a table
  // neither side changed without decoding it, a bounded chunk at a time. Tables with
  // stream columns (their data lives in other streams) and tables whose rows in
  // memory differ from the file take the row-by-row comparison.
  Result<bool> SameStoredTable(const TableSchema& ds, const TableSchema& rs) {
    const unsigned width_of_refs = db_.strings().ref_width();
    if (ref_.strings().ref_width() != width_of_refs) return false;
    if (ds.columns.size() != rs.columns.size()) return false;
    for (size_t c = 0; c < ds.columns.size(); ++c) {
      const ColumnInfo& d = ds.columns[c];
      if (d.name != rs.columns[c].name || d.type != rs.columns[c].type) return false;
      if (d.kind() == CellKind::kStream || d.temporary()) return false;
    }
    if (!db_.StoredTableCurrent(ds.name) || !ref_.StoredTableCurrent(rs.name)) return false;
    const uint64_t size = db_.StoredTableSize(ds.name);
    if (ref_.StoredTableSize(rs.name) != size) return false;
    const unsigned row_width = ds.row_width(width_of_refs);
    if (size == 0) return true;
    if (row_width == 0 || size % row_width != 0) return false;  // decoding reports it
    const uint64_t rows = size / row_width;
    // A stream up to kWholeBytes is read at once (a small table's stream is mostly in
    // the mini stream, where reads of single columns would be many and short); a
    // larger one a column and a bounded chunk at a time.
    constexpr uint64_t kWholeBytes = 1024 * 1024;
    constexpr size_t kChunkBytes = 64 * 1024;
    const bool whole = size <= kWholeBytes;
    if (whole) {
      db_chunk_.resize(static_cast<size_t>(size));
      ref_chunk_.resize(static_cast<size_t>(size));
      MKX_TRY(db_.ReadStoredTable(ds.name, 0, db_chunk_));
      MKX_TRY(ref_.ReadStoredTable(rs.name, 0, ref_chunk_));
      if (db_chunk_ != ref_chunk_) return false;
    }
    auto same_strings = [&](std::span<const uint8_t> cells, unsigned width) {
      for (size_t at = 0; at < cells.size(); at += width) {
        uint32_t id = cells[at] | (cells[at + 1] << 8);
        if (width == 3) id |= static_cast<uint32_t>(cells[at + 2]) << 16;
        if (id != 0 && !db_to_ref_.SameAtId(id)) return false;
      }
      return true;
    };
    uint64_t column_offset = 0;
    for (const ColumnInfo& column : ds.columns) {
      const unsigned width = column.stored_width(width_of_refs);
      const uint64_t column_bytes = rows * width;
      const bool strings = column.kind() == CellKind::kString;
      if (whole) {
        if (strings && !same_strings(std::span<const uint8_t>(db_chunk_).subspan(
                                          static_cast<size_t>(column_offset), static_cast<size_t>(column_bytes)),
                                      width)) {
          return false;
        }
        column_offset += column_bytes;
        continue;
      }
      const size_t step = kChunkBytes / width * width;
      for (uint64_t done = 0; done < column_bytes; done += step) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(step, column_bytes - done));
        db_chunk_.resize(length);
        ref_chunk_.resize(length);
        MKX_TRY(db_.ReadStoredTable(ds.name, column_offset + done, db_chunk_));
        MKX_TRY(ref_.ReadStoredTable(rs.name, column_offset + done, ref_chunk_));
        if (db_chunk_ != ref_chunk_) return false;
        if (strings && !same_strings(db_chunk_, width)) return false;
      }
      column_offset += column_bytes;
    }
    return true;
  }

  Status DiffTable(const TableSchema& ds, const TableSchema& rs, TableGroup& g) {
    const std::vector<size_t> dcols = PersistentColumns(ds);
    const std::vector<size_t> rcols = PersistentColumns(rs);
    MKX_TRY(CheckCompatible(ds, dcols, rs, rcols));
    for (size_t i = rcols.size(); i < dcols.size(); ++i) {
      AddCatalogColumn(g, ds.name, i + 1, static_cast<uint32_t>(0x8000 + i + 1), &ds.columns[dcols[i]]);
    }
    auto stored_same = SameStoredTable(ds, rs);
    if (!stored_same.ok()) return stored_same.take_error();
    if (*stored_same) return Ok{};
    auto dtable = db_.GetTable(ds.name);
    if (!dtable.ok()) return dtable.take_error();
    auto rtable = ref_.GetTable(rs.name);
    if (!rtable.ok()) return rtable.take_error();
    const Table& dt = **dtable;
    const Table& rt = **rtable;
    auto same = SameRows(dt, rt, dcols, rcols);
    if (!same.ok()) return same.take_error();
    if (*same) return Ok{};
    const size_t keys = KeyCount(ds, dcols);

    std::unordered_map<std::string, size_t> ref_rows;
    for (size_t row = 0; row < rt.row_count(); ++row) {
      if (!rt.IsTemporaryRow(row)) ref_rows.emplace(RefKey(ref_.strings(), rt, row, rcols, keys), row);
    }
    std::vector<bool> matched(rt.row_count(), false);
    std::optional<size_t> first_row;  // lowest-key persistent row of the new database
    std::vector<KeyPart> first_key;
    std::vector<size_t> changed;
    for (size_t row = 0; row < dt.row_count(); ++row) {
      if (dt.IsTemporaryRow(row)) continue;
      if (dcols.size() > rcols.size()) {
        std::vector<KeyPart> key = OrderKey(db_, dt, row, dcols, keys);
        if (!first_row || key < first_key) {
          first_row = row;
          first_key = std::move(key);
        }
      }
      std::optional<std::string> key = DbKeyInRef(dt, row, dcols, keys);
      auto found = key ? ref_rows.find(*key) : ref_rows.end();
      if (found == ref_rows.end() || matched[found->second]) {
        MKX_TRY(AddInsert(g, dt, row, dcols, keys));
        continue;
      }
      const size_t rrow = found->second;
      matched[rrow] = true;
      changed.clear();
      for (size_t i = keys; i < dcols.size(); ++i) {
        const uint32_t d = dt.Cell(row, dcols[i]);
        const uint32_t r = i < rcols.size() ? rt.Cell(rrow, rcols[i]) : 0;
        bool same = true;
        switch (ds.columns[dcols[i]].kind()) {
          case CellKind::kString:
            same = i < rcols.size() ? db_to_ref_.SameText(d, r) : NormalizeId(db_.strings(), d) == 0;
            break;
          case CellKind::kStream:
            if ((d != 0) != (r != 0)) {
              same = false;
            } else if (d != 0) {
              auto equal = SameStreamData(db_.StreamDataName(dt, row), ref_.StreamDataName(rt, rrow));
              if (!equal.ok()) return equal.take_error();
              same = *equal;
            }
            break;
          default:
            same = d == r;
            break;
        }
        if (!same) changed.push_back(i);
      }
      if (!changed.empty()) MKX_TRY(AddChange(g, dt, row, dcols, keys, changed));
    }
    for (size_t row = 0; row < rt.row_count(); ++row) {
      if (!rt.IsTemporaryRow(row) && !matched[row]) AddDelete(g, ref_, rt, row, rcols, keys);
    }
    // A table that gained columns needs a record, or a reader may keep its stream at
    // the old width: rewrite the new cell of the first row (null, or the row would
    // already have a record).
    if (dcols.size() > rcols.size() && g.rows.empty() && first_row) {
      MKX_TRY(AddChange(g, dt, *first_row, dcols, keys, {rcols.size()}));
    }
    return Ok{};
  }

  Database& db_;
  Database& ref_;
  StringMatcher db_to_ref_;
  std::vector<uint8_t> db_chunk_, ref_chunk_;  // read buffers of SameStoredTable
  std::vector<TableGroup> groups_;
  std::vector<TransformStream> data_streams_;
  std::set<std::u16string> data_names_;
};

// ---- atomic file writing --------------------------------------------------------

std::string TempNameFor(const std::string& path) {
  std::random_device random;
  // Beside the target, in its directory: "<dir>/.<name>.<random>.tmp".
  const size_t start = platform::FileNameStart(path);
  const std::string base = path.substr(start);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", (static_cast<unsigned long long>(random()) << 16 ^ random()) & 0xFFFFFFFFFFFFull);
  return path.substr(0, start) + "." + base.substr(0, 200) + suffix;
}

Status WriteAtomically(const std::string& path, const compound::CompoundWriter& writer) {
  std::string temp;
  std::unique_ptr<platform::RandomAccessFile> file;
  platform::CleanupOnSignal cleanup;  // the temporary file, until renamed or deleted
  for (int attempt = 0;; ++attempt) {
    temp = TempNameFor(path);
    platform::DeferTerminationSignals deferred;  // no signal between creating and arming
    auto opened = platform::OpenFile(temp, platform::FileMode::kCreateNew);
    if (opened.ok()) {
      file = std::move(*opened);
      (void)cleanup.Arm(temp);
      break;
    }
    if (!platform::PathExists(temp) || attempt >= 100) return CreateError(path, opened.error());
  }
  Status written = writer.WriteTo(*file);
  file.reset();
  if (!written.ok()) {
    (void)platform::RemoveFile(temp);
    return CreateError(path, written.error());
  }
  Status renamed = platform::RenameOver(temp, path);
  if (!renamed.ok()) {
    (void)platform::RemoveFile(temp);
    return Error(ERROR_CREATE_FAILED, 2203, u"Database: [2]. Cannot open database file. System error [3].",
                 {platform::DecodePath(path), renamed.error().fields.back()});
  }
  (void)platform::SyncParentDirectory(path);
  return Ok{};
}

}  // namespace

Result<std::vector<TransformStream>> BuildTransformStreams(Database& database, Database& reference) {
  TransformBuilder builder(database, reference);
  MKX_TRY(builder.Compare());
  if (builder.empty()) {
    return Error(ERROR_NO_DATA, 0, u"The databases [2] and [3] are identical.",
                 {platform::DecodePath(database.path()), platform::DecodePath(reference.path())});
  }
  return builder.Serialize();
}

Status GenerateTransform(Database& database, Database& reference, const std::string& path) {
  auto streams = BuildTransformStreams(database, reference);
  if (!streams.ok()) return streams.take_error();
  compound::CompoundWriter writer;
  writer.SetRootClsid(kTransformClsid);
  for (TransformStream& s : *streams) writer.AddStream(std::move(s.name), std::move(s.data));
  return WriteAtomically(path, writer);
}

}  // namespace mkx::engine
