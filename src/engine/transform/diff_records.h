// Diff records: the transform records of one row, column or table, built from the
// cells of the database that holds it.
//
// String fields are the bytes of the new database's codepage, viewed in the pool that
// holds them; a reference string is converted when the codepages differ, and kept
// with catalog names in the maker's own text. Stream data of inserted or changed rows
// is collected once per stream name.
#pragma once

#include <deque>
#include <set>
#include <span>
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
  Status AddInsert(TableChanges& g, const Table& t, size_t row, const std::vector<size_t>& cols);
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
  void AddCatalogColumn(TableChanges& g, std::u16string_view table, uint32_t stored_number,
                        const ColumnInfo* column);

  /// The key fields of a row of the new database: its first `keys` columns of `cols`.
  std::vector<DiffField> KeyFields(const Table& t, size_t row, const std::vector<size_t>& cols, size_t keys);

  std::vector<TransformStream> TakeDataStreams() { return std::move(data_streams_); }
  std::deque<std::string> TakeText() { return std::move(text_); }

 private:
  std::string_view Keep(std::string bytes);
  std::string_view NameBytes(std::u16string_view name);
  std::string_view RefBytes(uint32_t id);
  DiffField Field(const Database& owner, const Table& t, size_t row, size_t col);
  Status AddStreamData(const Table& t, size_t row);

  const Database& db_;
  const Database& ref_;
  std::vector<TransformStream> data_streams_;
  std::set<std::u16string> data_names_;
  std::deque<std::string> text_;  // a deque: adding a string moves none
};

/// Whether key `a` sorts before key `b` (the key fields of two records of one stream,
/// strings in `codepage`): null first, then integers by value, then text by UTF-16
/// code unit.
bool KeyLess(uint32_t codepage, std::span<const DiffField> a, std::span<const DiffField> b);

}  // namespace mkx::engine
