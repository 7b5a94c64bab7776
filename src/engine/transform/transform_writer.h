// Transform generation: the differences between two databases as a transform file.
//
// The transform holds, in its own string pool and row-major records (see
// transform_records.h), everything that turns the reference database into the new
// one:
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
// Values are compared as text, so databases with different pools or codepages compare
// correctly; stream data is compared by size, then in bounded chunks. Temporary rows
// and columns are ignored. No record asks a reader to insert a row that exists, or to
// update or delete one that does not. Records of a table are in key order; strings are
// numbered in order of first use; references are 3 bytes once the pool has more than
// 65535 strings.
//
// A column definition change a transform cannot carry (a column removed, renamed or
// changed in kind or key membership) is refused with ERROR_INVALID_TABLE.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "platform/result.h"

namespace mkx::engine {

/// One stream of a transform's root storage: its stored (encoded) name and contents.
struct TransformStream {
  std::u16string name;
  std::vector<uint8_t> data;
};

/// Computes the streams of the transform that turns `reference` into `database`
/// (summary information excluded). ERROR_NO_DATA when the databases are identical.
Result<std::vector<TransformStream>> BuildTransformStreams(Database& database, Database& reference);

/// Writes at `path` the transform that turns `reference` into `database`.
/// ERROR_NO_DATA when the databases are identical (no file written).
/// ERROR_CREATE_FAILED (with a record naming the path and the system's reason) when
/// the file cannot be created. Written atomically: to a temporary file in the same
/// directory (O_EXCL), synced, renamed over `path` only when complete; on any failure
/// nothing is left at `path` and an existing file there is untouched.
Status GenerateTransform(Database& database, Database& reference, const std::string& path);

}  // namespace mkx::engine
