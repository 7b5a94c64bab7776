// Prints a database's tables the way `msi-oracle dump` does, so the two can be compared.
#pragma once

#include <string>

#include "engine/database.h"

namespace mkx::test {

/// "## CODEPAGE n" and every catalog table, up to (not including) the streams section.
/// Binary cells print as "<binary N bytes>" (no hash).
std::string DumpTables(engine::Database& db);

/// The same part of an oracle dump, with binary cells reduced the same way.
std::string TablesSection(const std::string& oracle_dump);

}  // namespace mkx::test
