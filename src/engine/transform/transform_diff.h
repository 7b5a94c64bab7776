// Transform diff: the differences between two databases, as transform records.
//
// The diff is pure: it reads two databases and produces records, nothing else. It
// holds everything that turns the reference database into the new one:
//  (1) rows added, deleted or changed in every table both databases hold; an UPDATE
//      names the key and the changed columns only; a change in a column past the 16th
//      (which no UPDATE mask can flag) is a DELETE of the row followed by an INSERT of
//      the whole row;
//  (2) tables added (one _Tables INSERT, one _Columns INSERT per column with Number 0,
//      then the rows), tables dropped (a _Tables DELETE and a _Columns DELETE per
//      column, by explicit number), columns added at the end of a table (a _Columns
//      INSERT with the column's number; such a table always gets at least one record,
//      so that a reader rewrites its stream at the new width);
//  (3) stream-column data of inserted or changed rows, as root streams named like the
//      database's data streams.
//
// Every table is decoded on both sides and compared row by row. Where both tables
// list the same keys in the same order, rows are paired by position in one pass;
// otherwise they are paired by key. Strings are compared as text (as bytes when both
// pools use one encoding), so databases with different pools or codepages compare
// correctly. Stream data is compared by size, then in bounded chunks. Temporary
// columns are ignored. No record asks a reader to insert a row that exists, or to
// update or delete one that does not.
//
// A column definition change a transform cannot carry (a column removed, renamed or
// changed in kind or key membership) is refused with result_code::kInvalidTable.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "platform/result.h"

namespace mkx::engine {

/// One stream of a transform's root storage: its stored (encoded) name and contents.
struct TransformStream {
  std::u16string name;
  std::vector<uint8_t> data;
};

/// One field of a diff record. Strings are bytes in the new database's codepage,
/// viewed in one of the two databases' pools or in the diff's own `text`;
/// serialization gives them their transform string ids.
struct DiffField {
  CellKind kind = CellKind::kString;
  uint32_t raw = 0;        // stored integer cell; 0 or 1 for a stream column; a string's id
  std::string_view bytes;  // kString only; empty for null
};

/// The records of one stream, each a mask and a run of fields, the fields of all of
/// them in one list. A record's leading fields are its row's key, by which the records
/// of a stream are written: the table's key columns for its own rows, the name for
/// _Tables, the table and the number for _Columns.
struct RecordList {
  struct Record {
    uint16_t mask = 0;
    uint16_t count = 0;  // its fields: fields[first, first + count)
    uint32_t first = 0;
  };
  std::vector<Record> records;
  std::vector<DiffField> fields;

  /// Starts a record; the fields put after it are its own.
  void Start(uint16_t mask) { records.push_back({mask, 0, static_cast<uint32_t>(fields.size())}); }
  void Put(const DiffField& field) {
    fields.push_back(field);
    ++records.back().count;
  }
  std::span<const DiffField> Fields(const Record& r) const { return std::span(fields).subspan(r.first, r.count); }
  bool empty() const { return records.empty(); }
};

/// Everything one table contributes: its catalog records and its own records.
struct TableChanges {
  std::u16string name;
  size_t row_keys = 0;  // the key fields of each of `rows`
  RecordList tables;    // for the _Tables stream
  RecordList columns;   // for the _Columns stream
  RecordList rows;      // for the table's own stream
};

/// A diff views the strings of both databases: it is valid while both are open and
/// unchanged.
struct TransformDiff {
  uint32_t codepage = 0;  // of the new database, which the string bytes are in
  std::vector<TableChanges> tables;
  std::vector<TransformStream> data_streams;
  // Field bytes that are in neither pool (converted strings, catalog names). A deque,
  // so that neither adding to it nor moving the diff moves a string.
  std::deque<std::string> text;

  bool empty() const;
};

/// The records that turn `reference` into `database` (see the header comment).
/// Tables are decoded on first use; neither database is changed otherwise.
Result<TransformDiff> DiffDatabases(Database& database, Database& reference);

}  // namespace mkx::engine
