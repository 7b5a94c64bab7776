// Summary information of a transform.
//
// The stream mirrors what the installer writes into the transforms of genuine patches,
// in the same property order:
//   1 codepage, 2 title, 3 subject, 4 author, 5 keywords, 6 comments, 12 create time,
//   18 creating application, 19 security  -- copied from the reference database;
//   7 template       -- platform;language of the reference (its own property 7);
//   8 last saved by  -- platform;language of the new database (its property 7);
//   9 revision       -- <ref ProductCode><ref ProductVersion>;<new ProductCode>
//                       <new ProductVersion>;<new UpgradeCode>;
//   14 page count    -- the higher minimum installer version of the two;
//   16 char count    -- validation flags << 16 | error conditions.
// Texts are written in the codepage of the reference's summary (property 1; 1252 when
// it has none), converting those that come from elsewhere.
#pragma once

#include <cstdint>
#include <string>

#include "engine/database.h"
#include "engine/transform/property_set.h"
#include "platform/result.h"

namespace mkx::engine {

/// Transform validation flags (high word of property 16).
namespace transform_validate {
inline constexpr int32_t kLanguage = 0x0001;
inline constexpr int32_t kProduct = 0x0002;
inline constexpr int32_t kPlatform = 0x0004;
inline constexpr int32_t kUpgradeCode = 0x0800;
}  // namespace transform_validate

/// The summary property set of the transform from `reference` to `database`.
/// result_code::kInstallPackageInvalid when ProductCode or ProductVersion is missing from
/// either Property table (or UpgradeCode when validation asks for it).
Result<PropertySet> BuildTransformSummary(Database& database, Database& reference, int32_t error_conditions,
                                          int32_t validation);

/// Adds the summary information stream to the transform at `path`, built from both
/// databases. result_code::kInstallPackageInvalid when ProductCode or ProductVersion is
/// missing from either Property table (or UpgradeCode when validation asks for it).
/// The transform file is changed in place; result_code::kOpenFailed if it cannot be opened.
Status CreateTransformSummaryInfo(Database& database, Database& reference, const std::string& path,
                                  int32_t error_conditions, int32_t validation);

}  // namespace mkx::engine
