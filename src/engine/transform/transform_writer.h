// Transform serialization: diff records into the streams of a transform, and those
// streams into a compound file.
//
// The transform holds its own string pool and row-major records (see
// transform_records.h). Records of a table are in key order; strings are numbered in
// order of first use; references are 3 bytes once the pool has more than 65535
// strings. The file is a version 3 compound file whose root has the transform CLSID.
// Serialization is pure: it depends only on the records, so one diff gives the same
// bytes on every platform and in every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/transform/property_set.h"
#include "engine/transform/transform_diff.h"
#include "platform/file.h"
#include "platform/result.h"

namespace mkx::engine {

/// The streams of the transform the diff describes (summary information excluded):
/// string pool, _Tables, _Columns, each changed table, then the data streams.
std::vector<TransformStream> SerializeDiff(TransformDiff diff);

/// Diff and serialization in one: the streams of the transform that turns
/// `reference` into `database`. result_code::kNoData when the databases are identical.
Result<std::vector<TransformStream>> BuildTransformStreams(Database& database, Database& reference);

/// Writes the transform as a compound file into `file` (empty), with the summary
/// information stream when `summary` is given.
Status WriteTransformFile(std::vector<TransformStream> streams, const PropertySet* summary,
                          platform::RandomAccessFile& file);

/// Writes at `path` the transform that turns `reference` into `database`, without
/// summary information. result_code::kNoData when the databases are identical (no file
/// written). result_code::kCreateFailed (with a record naming the path and the system's
/// reason) when the file cannot be written. An existing file at `path` is rewritten
/// in place and nothing is synced: a caller that needs the file to appear complete
/// or not at all writes to a private file and publishes it (platform/output_file.h).
Status GenerateTransform(Database& database, Database& reference, const std::string& path);

}  // namespace mkx::engine
