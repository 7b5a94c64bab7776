// Diff records: the transform records of one row, column or table, built from the
// cells of the database that holds it.
//
// String fields are the bytes of the new database's codepage (a reference string is
// converted when the codepages differ). Each record carries its sort key, so that
// serialization can write a stream's records in key order. Stream data of inserted
// or changed rows is collected once per stream name.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/transform/transform_diff.h"

namespace mkx::engine {

class RecordMaker {
 public:
  RecordMaker(const Database& db, const Database& ref) : db_(db), ref_(ref) {}

  /// INSERT of a row of the new database, every column of `cols`; its stream data
  /// goes along.
  Status AddInsert(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys);
  /// DELETE of a row of `owner` (either database), by its key.
  void AddDelete(TableChanges& g, const Database& owner, const Table& t, size_t row,
                 const std::vector<size_t>& cols, size_t keys);
  /// A changed row of the new database: an UPDATE naming the key and the changed
  /// columns (0-based positions in `cols`, ascending) when the mask can flag them
  /// all, else the row deleted and inserted whole.
  Status AddChange(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys,
                   const std::vector<size_t>& changed);
  /// A _Tables INSERT or DELETE.
  void AddCatalogTable(TableChanges& g, std::u16string_view name, bool insert);
  /// A _Columns INSERT (with `column`) or DELETE (without); `stored_number` is the
  /// Number cell (0, or 0x8000 + n).
  void AddCatalogColumn(TableChanges& g, std::u16string_view table, size_t n, uint32_t stored_number,
                        const ColumnInfo* column);

  /// The sort key of a row: its key cells, strings as text.
  static std::vector<KeyPart> OrderKey(const Database& owner, const Table& t, size_t row,
                                       const std::vector<size_t>& cols, size_t keys);

  std::vector<TransformStream> TakeDataStreams() { return std::move(data_streams_); }

 private:
  std::string NameBytes(std::u16string_view name) const;
  std::string RefBytes(uint32_t id) const;
  DiffField Field(const Database& owner, const Table& t, size_t row, size_t col) const;
  Status AddStreamData(const Table& t, size_t row);

  const Database& db_;
  const Database& ref_;
  std::vector<TransformStream> data_streams_;
  std::set<std::u16string> data_names_;
};

}  // namespace mkx::engine
