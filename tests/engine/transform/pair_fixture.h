// Pairs of databases for transform tests: a base database built from make-fixtures'
// minimal.msi with msibuild (extra tables Wide, Drop, Grow and Binary rows), and
// copies of it changed with msibuild.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/database.h"
#include "support/test_support.h"

namespace mkx::test {

/// Runs msibuild on `db` with the given arguments (from `cwd` when not empty);
/// records a test failure if it fails.
void MsiBuild(const std::string& db, const std::vector<std::string>& args, const std::string& cwd = "");
/// Runs each SQL statement on `db` with msibuild.
void Sql(const std::string& db, const std::vector<std::string>& statements);

/// Imports a Binary table holding rows name -> contents (replacing the table).
void ImportBinary(const std::string& db, const std::vector<std::pair<std::string, std::string>>& rows);

/// Builds the base database in `dir` (once per call) and returns its path:
/// minimal.msi plus Wide (20 columns: K key s20, C5 I2, C12 I4, the others S40;
/// rows r1..r3), Drop and Grow (GK/DK key s20 + one S40 column, 2 rows each) and
/// Binary rows b1 (18 bytes) and b2 (5000 bytes).
std::string BuildBase(const TempDir& dir);

std::unique_ptr<engine::Database> OpenDb(const std::string& path);

/// Applies the transform to `base` with the oracle into `out`, then returns the
/// oracle's diff of `out` against `expected` (empty when identical). Lines starting
/// with an entry of `ignore` are dropped.
std::string ApplyAndDiff(const std::string& base, const std::string& transform, const std::string& expected,
                         const std::vector<std::string>& ignore = {});

}  // namespace mkx::test
