// Installer database: catalog loading, lazy tables and in-place commit.
//
// States: open read-only | open transacted-clean | transacted-dirty (some table
// changed) -> Commit -> transacted-clean. Read-only databases never reach "dirty" on
// disk: Commit on them returns success and writes nothing.
//
// Commit invariants:
//  (1) every string referenced by a persistent cell (including _Tables and _Columns,
//      excluding stream cells) is in the pool with its exact reference count;
//  (2) strings referenced by nothing are released, strings still in use keep their id,
//      so an untouched table stream stays valid and is not rewritten;
//  (3) if the reference width changes, every table stream is rewritten with it;
//  (4) all streams go to the compound file in one Commit call.
#include "engine/database.h"

#include <algorithm>

#include "engine/stream_name.h"
#include "platform/file.h"
#include "platform/scratch_file.h"
#include "platform/wide.h"

namespace mkx::engine {

const compound::Clsid kDatabaseClsid = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const compound::Clsid kTransformClsid = {0x82, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

namespace {

constexpr std::u16string_view kTablesName = u"_Tables";
constexpr std::u16string_view kColumnsName = u"_Columns";
constexpr std::u16string_view kPoolName = u"_StringPool";
constexpr std::u16string_view kDataName = u"_StringData";

namespace ct = column_type;
constexpr uint16_t kStringKey64 = ct::kValid | ct::kStringRef | ct::kStringStorage | ct::kKey | 64;
constexpr uint16_t kString64 = ct::kValid | ct::kStringRef | ct::kStringStorage | 64;
constexpr uint16_t kInt16Key = ct::kValid | ct::kStringRef | ct::kKey | 2;
constexpr uint16_t kInt16 = ct::kValid | ct::kStringRef | 2;

const TableSchema& TablesSchema() {
  static const TableSchema schema{std::u16string(kTablesName), {{u"Name", kStringKey64}}};
  return schema;
}

const TableSchema& ColumnsSchema() {
  static const TableSchema schema{std::u16string(kColumnsName),
                                  {{u"Table", kStringKey64},
                                   {u"Number", kInt16Key},
                                   {u"Name", kString64},
                                   {u"Type", kInt16}}};
  return schema;
}

Error OpenError(const std::string& path, std::u16string reason) {
  return Error(result_code::kOpenFailed, 2203,
               u"Database: [2]. Cannot open database file. System error [3].",
               {platform::DecodePath(path), std::move(reason)});
}

/// Puts the path into an error produced below this layer without one.
Error WithPath(Error error, const std::string& path) {
  if (!error.fields.empty() && error.fields[0].empty()) error.fields[0] = platform::DecodePath(path);
  return error;
}

std::u16string ReasonOf(const Error& error) {
  if (error.fields.size() >= 2) return error.fields.back();
  if (!error.fields.empty()) return error.fields[0];
  return platform::FromAscii("error " + std::to_string(error.code));
}

}  // namespace

Result<std::unique_ptr<Database>> Database::Open(const std::string& path, OpenMode mode) {
  return Open(path, mode, Durability::kDurable);
}

Result<std::unique_ptr<Database>> Database::Open(const std::string& path, OpenMode mode,
                                                 Durability durability) {
  auto file = platform::OpenFile(path, mode == OpenMode::kReadOnly ? platform::FileMode::kReadOnly
                                                                  : platform::FileMode::kReadWrite);
  if (!file.ok()) return OpenError(path, ReasonOf(file.error()));
  return Open(std::move(file).value(), mode, durability, path);
}

Result<std::unique_ptr<Database>> Database::Open(Result<std::unique_ptr<platform::RandomAccessFile>> file,
                                                 OpenMode mode, Durability durability, const std::string& path) {
  if (!file.ok()) return OpenError(path, ReasonOf(file.error()));
  std::unique_ptr<platform::RandomAccessFile> opened = std::move(file).value();
  if (durability == Durability::kScratch) opened = platform::AsScratchFile(std::move(opened));
  auto compound_file = compound::CompoundFile::Open(std::move(opened));
  if (!compound_file.ok()) {
    return OpenError(path, u"not a compound file: " + ReasonOf(compound_file.error()));
  }
  return Open(std::move(compound_file).value(), mode, path);
}

Result<std::unique_ptr<Database>> Database::Open(std::unique_ptr<compound::CompoundFile> file,
                                                 OpenMode mode, std::string path_for_messages) {
  std::unique_ptr<Database> db(new Database());
  db->mode_ = mode;
  db->path_ = std::move(path_for_messages);
  db->file_ = std::move(file);

  const std::u16string pool_name = EncodeStreamName(kPoolName, true);
  const std::u16string data_name = EncodeStreamName(kDataName, true);
  if (!db->file_->FindStream(pool_name) || !db->file_->FindStream(data_name)) {
    return OpenError(db->path_, u"not an installer database: no string pool");
  }
  auto pool_bytes = db->file_->ReadStream(pool_name);
  if (!pool_bytes.ok()) return OpenError(db->path_, ReasonOf(pool_bytes.error()));
  auto data_bytes = db->file_->ReadStream(data_name);
  if (!data_bytes.ok()) return OpenError(db->path_, ReasonOf(data_bytes.error()));
  auto pool = StringPool::Load(*pool_bytes, std::move(*data_bytes));
  if (!pool.ok()) return OpenError(db->path_, ReasonOf(pool.error()));
  db->pool_ = std::move(pool).value();
  db->loaded_codepage_ = db->pool_.codepage();

  MKX_TRY(db->LoadCatalog());
  return db;
}

Status Database::LoadCatalog() {
  const unsigned ref_width = pool_.ref_width();
  auto load = [&](const TableSchema& schema) -> Result<std::unique_ptr<Table>> {
    std::u16string stream = EncodeStreamName(schema.name, true);
    if (!file_->FindStream(stream)) {
      return OpenError(path_, u"not an installer database: no " + schema.name + u" stream");
    }
    auto bytes = file_->ReadStream(stream);
    if (!bytes.ok()) return OpenError(path_, ReasonOf(bytes.error()));
    auto table = Table::Decode(schema, *bytes, ref_width);
    if (!table.ok()) return OpenError(path_, ReasonOf(table.error()));
    return std::make_unique<Table>(std::move(table).value());
  };
  auto tables = load(TablesSchema());
  if (!tables.ok()) return tables.take_error();
  auto columns = load(ColumnsSchema());
  if (!columns.ok()) return columns.take_error();

  const Table& t = **tables;
  for (size_t r = 0; r < t.row_count(); ++r) {
    uint32_t id = t.Cell(r, 0);
    if (id == 0 || pool_.Bytes(id).empty()) {
      return OpenError(path_, u"_Tables holds a null or unknown table name");
    }
    std::u16string name = pool_.Text(id);
    if (schemas_.count(name)) return OpenError(path_, u"_Tables lists " + name + u" twice");
    table_names_.push_back(name);
    schemas_.emplace(name, TableSchema{name, {}});
  }

  // Column rows by table, each with its number, then checked to be exactly 1..n.
  struct Numbered {
    int32_t number;
    ColumnInfo info;
  };
  std::map<std::u16string, std::vector<Numbered>, std::less<>> found;
  const Table& c = **columns;
  for (size_t r = 0; r < c.row_count(); ++r) {
    uint32_t table_id = c.Cell(r, 0), number = c.Cell(r, 1), name_id = c.Cell(r, 2),
             type = c.Cell(r, 3);
    std::u16string table = pool_.Text(table_id);
    if (table_id == 0 || pool_.Bytes(table_id).empty()) {
      return OpenError(path_, u"_Columns holds a row with no table name");
    }
    if (!schemas_.count(table)) continue;  // a leftover of a dropped table: not ours to use
    if (number == 0 || name_id == 0 || pool_.Bytes(name_id).empty() || type == 0) {
      return OpenError(path_, u"_Columns holds an incomplete row for table " + table);
    }
    found[table].push_back(
        {DecodeInteger(CellKind::kInt16, number),
         ColumnInfo{pool_.Text(name_id), static_cast<uint16_t>((type ^ 0x8000u) & 0xFFFFu)}});
  }
  for (auto& [name, schema] : schemas_) {
    auto it = found.find(name);
    if (it == found.end()) return OpenError(path_, u"table " + name + u" has no columns");
    auto& list = it->second;
    std::sort(list.begin(), list.end(),
              [](const Numbered& a, const Numbered& b) { return a.number < b.number; });
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].number != static_cast<int32_t>(i + 1)) {
        return OpenError(path_, u"_Columns numbers the columns of table " + name +
                                    u" wrongly (out of range, repeated or missing)");
      }
      for (size_t j = 0; j < i; ++j) {
        if (list[j].info.name == list[i].info.name) {
          return OpenError(path_, u"table " + name + u" has two columns named " +
                                      list[i].info.name);
        }
      }
      schema.columns.push_back(std::move(list[i].info));
    }
  }
  tables_.emplace(std::u16string(kTablesName), std::move(tables).value());
  tables_.emplace(std::u16string(kColumnsName), std::move(columns).value());
  return Ok{};
}

std::vector<std::u16string> Database::TableNames() const { return table_names_; }

const TableSchema* Database::FindSchema(std::u16string_view table) const {
  if (table == kTablesName) return &TablesSchema();
  if (table == kColumnsName) return &ColumnsSchema();
  auto it = schemas_.find(table);
  return it == schemas_.end() ? nullptr : &it->second;
}

Result<Table*> Database::GetTable(std::u16string_view table) {
  auto loaded = tables_.find(table);
  if (loaded != tables_.end()) return loaded->second.get();
  const TableSchema* schema = FindSchema(table);
  if (!schema) {
    return Error(result_code::kInvalidTable, 2228, u"Database: [2]. Unknown table '[3]'.",
                 {platform::DecodePath(path_), std::u16string(table)});
  }
  std::u16string stream = EncodeStreamName(table, true);
  std::vector<uint8_t> bytes;
  if (file_->FindStream(stream)) {
    auto read = file_->ReadStream(stream);
    if (!read.ok()) {
      return Error(result_code::kFunctionFailed, 2229, u"Database: [2]. Could not load table '[3]'. [4]",
                   {platform::DecodePath(path_), std::u16string(table), ReasonOf(read.error())});
    }
    bytes = std::move(read).value();
  }
  auto decoded = Table::Decode(*schema, bytes, pool_.ref_width());
  if (!decoded.ok()) return WithPath(decoded.take_error(), path_);
  auto owned = std::make_unique<Table>(std::move(decoded).value());
  Table* result = owned.get();
  tables_.emplace(std::u16string(table), std::move(owned));
  return result;
}

std::u16string Database::StreamDataName(const Table& table, size_t row) const {
  std::u16string name = table.schema().name;
  const size_t keys = table.schema().key_count();
  for (size_t k = 0; k < keys; ++k) {
    name += u'.';
    uint32_t raw = table.Cell(row, k);
    CellKind kind = table.schema().columns[k].kind();
    if (kind == CellKind::kString) {
      name += pool_.Text(raw);
    } else if (raw != 0 && kind != CellKind::kStream) {
      name += platform::FromAscii(std::to_string(DecodeInteger(kind, raw)));
    }
  }
  return name;
}

bool Database::dirty() const {
  if (pool_.codepage() != loaded_codepage_) return true;
  for (const auto& [name, table] : tables_) {
    if (table->dirty()) return true;
  }
  return false;
}

Status Database::Commit() {
  if (read_only() || !dirty()) return Ok{};
  auto update_failed = [&](const Error& cause) {
    return Error(result_code::kFunctionFailed, 2259, u"Database: [2] Table(s) Update failed. [3]",
                 {platform::DecodePath(path_), ReasonOf(cause)});
  };
  // References are counted from the rows of every table, so every table is decoded
  // (a table whose stream is damaged fails the commit here, saying why).
  for (const std::u16string& name : table_names_) {
    auto table = GetTable(name);
    if (!table.ok()) return update_failed(table.error());
  }
  std::vector<uint32_t> counts(pool_.slot_count(), 0);
  for (const auto& [name, table] : tables_) table->CountStringRefs(counts);
  if (counts.size() > pool_.slot_count()) {
    return update_failed(Error(result_code::kFunctionFailed, 0, u"[2]",
                               {u"a cell refers to a string the pool does not hold"}));
  }
  // A cell that refers to a slot stored as unused reads as null here, but an installer
  // that puts a new string in that slot reads it as that string: what the row holds
  // depends on who reads it.
  for (uint32_t id = 1; id < counts.size(); ++id) {
    if (counts[id] != 0 && pool_.Bytes(id).empty()) {
      return update_failed(Error(result_code::kFunctionFailed, 0, u"[2]",
                                 {u"a cell refers to string " + platform::FromAscii(std::to_string(id)) +
                                  u", which the pool holds as unused"}));
    }
  }
  pool_.Release(counts);

  // Widen references when ids no longer fit 2 bytes; never narrow (that would force a
  // rewrite of every table for no gain).
  const bool was_long = pool_.long_refs();
  if (!was_long && pool_.slot_count() > 0xFFFF) pool_.set_long_refs(true);
  const bool width_changed = pool_.long_refs() != was_long;
  const unsigned ref_width = pool_.ref_width();

  std::vector<compound::StreamChange> changes;
  for (const auto& [name, table] : tables_) {
    if (!table->dirty() && !width_changed) continue;
    std::u16string stream = EncodeStreamName(name, true);
    std::vector<uint8_t> bytes = table->Encode(ref_width);
    if (bytes.empty() && !file_->FindStream(stream)) continue;
    changes.push_back({std::move(stream), std::move(bytes)});
  }
  std::vector<uint8_t> pool_stream, data_stream;
  pool_.Serialize(counts, pool_stream, data_stream);
  changes.push_back({EncodeStreamName(kPoolName, true), std::move(pool_stream)});
  changes.push_back({EncodeStreamName(kDataName, true), std::move(data_stream)});

  Status written = file_->Commit(changes);
  if (!written.ok()) {
    if (width_changed) pool_.set_long_refs(was_long);
    return update_failed(written.error());
  }
  for (const auto& [name, table] : tables_) table->clear_dirty();
  loaded_codepage_ = pool_.codepage();
  return Ok{};
}

}  // namespace mkx::engine
