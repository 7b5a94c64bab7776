// Transform serialization: transform string ids in order of first use, records
// sorted by key, and the compound file around them.
#include "engine/transform/transform_writer.h"

#include <algorithm>

#include "engine/compound/compound_file.h"
#include "engine/stream_name.h"
#include "engine/transform/diff_records.h"
#include "engine/transform/transform_records.h"
#include "platform/file.h"
#include "platform/scratch_file.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr size_t kTablesKeys = 1;   // _Tables: Name
constexpr size_t kColumnsKeys = 2;  // _Columns: Table, Number

// Orders records by their leading `keys` fields, keeping the order of equal keys.
void SortByKey(RecordList& list, size_t keys, uint32_t codepage) {
  using Record = RecordList::Record;
  auto key = [&list, keys](const Record& r) { return list.Fields(r).first(std::min<size_t>(keys, r.count)); };
  std::stable_sort(list.records.begin(), list.records.end(),
                   [&](const Record& a, const Record& b) { return KeyLess(codepage, key(a), key(b)); });
}

// Gives each string field its transform id, in the order the records use them.
void NumberStrings(RecordList& list, TransformStringPool& pool) {
  for (const RecordList::Record& r : list.records) {
    for (uint32_t i = r.first; i < r.first + r.count; ++i) {
      DiffField& f = list.fields[i];
      if (f.kind == CellKind::kString) f.raw = pool.Use(f.bytes);
    }
  }
}

void Append(RecordList& to, const RecordList& from) {
  for (const RecordList::Record& r : from.records) {
    to.Start(r.mask);
    for (const DiffField& f : from.Fields(r)) to.Put(f);
  }
}

std::vector<uint8_t> EncodeRecords(const RecordList& list, unsigned ref_width) {
  std::vector<uint8_t> out;
  TransformRecord record;
  for (const RecordList::Record& r : list.records) {
    record.mask = r.mask;
    record.fields.clear();
    for (const DiffField& f : list.Fields(r)) record.fields.push_back({f.kind, f.raw});
    EncodeRecord(record, ref_width, out);
  }
  return out;
}

Error CreateError(const std::string& path, const Error& cause) {
  std::u16string reason = cause.fields.size() >= 2 ? cause.fields.back() : cause.message_template;
  return Error(result_code::kCreateFailed, 2203, u"Database: [2]. Cannot open database file. System error [3].",
               {platform::DecodePath(path), reason});
}

}  // namespace

std::vector<TransformStream> SerializeDiff(TransformDiff diff) {
  // Strings are numbered in the order the streams use them: each table's catalog
  // records and rows, table by table.
  TransformStringPool pool(diff.codepage);
  RecordList all_tables, all_columns;
  for (TableChanges& g : diff.tables) {
    SortByKey(g.tables, kTablesKeys, diff.codepage);
    SortByKey(g.columns, kColumnsKeys, diff.codepage);
    SortByKey(g.rows, g.row_keys, diff.codepage);
    NumberStrings(g.tables, pool);
    NumberStrings(g.columns, pool);
    NumberStrings(g.rows, pool);
    Append(all_tables, g.tables);
    Append(all_columns, g.columns);
  }
  SortByKey(all_tables, kTablesKeys, diff.codepage);
  SortByKey(all_columns, kColumnsKeys, diff.codepage);

  // The records are encoded and released before the pool is serialized: a run can
  // write a million of them.
  std::vector<TransformStream> record_streams;
  auto add = [&record_streams, width = pool.ref_width()](std::u16string_view name, RecordList& records) {
    if (!records.empty()) record_streams.push_back({EncodeStreamName(name, true), EncodeRecords(records, width)});
    records = RecordList();
  };
  add(u"_Tables", all_tables);
  add(u"_Columns", all_columns);
  for (TableChanges& g : diff.tables) add(g.name, g.rows);
  diff.tables.clear();

  std::vector<TransformStream> streams;
  TransformStream pool_stream{EncodeStreamName(u"_StringPool", true), {}};
  TransformStream data_stream{EncodeStreamName(u"_StringData", true), {}};
  pool.Serialize(pool_stream.data, data_stream.data);
  streams.push_back(std::move(pool_stream));
  streams.push_back(std::move(data_stream));
  for (TransformStream& s : record_streams) streams.push_back(std::move(s));
  for (TransformStream& s : diff.data_streams) streams.push_back(std::move(s));
  return streams;
}

Result<std::vector<TransformStream>> BuildTransformStreams(Database& database, Database& reference) {
  auto diff = DiffDatabases(database, reference);
  if (!diff.ok()) return diff.take_error();
  if (diff->empty()) {
    return Error(result_code::kNoData, 0, u"The databases [2] and [3] are identical.",
                 {platform::DecodePath(database.path()), platform::DecodePath(reference.path())});
  }
  return SerializeDiff(std::move(diff).value());
}

Status WriteTransformFile(std::vector<TransformStream> streams, const PropertySet* summary,
                          platform::RandomAccessFile& file) {
  compound::CompoundWriter writer;
  writer.SetRootClsid(kTransformClsid);
  for (TransformStream& s : streams) writer.AddStream(std::move(s.name), std::move(s.data));
  if (summary) writer.AddStream(std::u16string(kSummaryStreamName), summary->Encode());
  return writer.WriteTo(file);
}

Status GenerateTransform(Database& database, Database& reference, const std::string& path) {
  auto streams = BuildTransformStreams(database, reference);
  if (!streams.ok()) return streams.take_error();
  // Written straight into the file (a transform can be as large as its longest
  // value), unsynced: whoever publishes the file makes it durable.
  auto file = platform::OpenFile(path, platform::PathExists(path) ? platform::FileMode::kReadWrite
                                                                   : platform::FileMode::kCreateNew);
  Status written = file.ok() ? (*file)->Truncate(0) : Status(file.error());
  if (written.ok()) {
    auto unsynced = platform::AsScratchFile(std::move(*file));
    written = WriteTransformFile(std::move(streams).value(), nullptr, *unsynced);
  }
  if (!written.ok()) return CreateError(path, written.error());
  return Ok{};
}

}  // namespace mkx::engine
