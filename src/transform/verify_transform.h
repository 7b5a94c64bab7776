// Verification of a written transform, before it is published: the last defence of
// the tool's promise against any fault of the engine that wrote it.
//
// The transform is decoded from its bytes with the compound-file reader and a decoder
// of its own here (string pool and Property records), sharing nothing with the code
// that built it. It passes only when it changes exactly the intended Property rows:
//  (1) its root holds the string pool, the Property table's records and the summary
//      information, nothing else (no other table, no catalog change, no stream data);
//  (2) every Property record is an INSERT of a name the source lacks, or an UPDATE of
//      the value of a name the source holds, and names an intended property with
//      exactly its intended value, once;
//  (3) every intended property whose value differs in the source has its record.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/result.h"

namespace mkx::transform {

/// Name -> value of every property the run set. The value is held as
/// platform::ExactUtf8: it can be as long as the property file, and this is most often
/// half the size of UTF-16.
using IntendedProperties = std::unordered_map<std::u16string, std::string>;

/// The source's value of a property, or nothing when the source has no such row.
using SourceLookup = std::function<std::optional<std::u16string>(const std::u16string& name)>;

/// Checks the transform at `path` (see above). Fails with
/// ERROR_INSTALL_TRANSFORM_FAILURE and a record whose text says what unexpected
/// change, or what missing one, was found.
Status VerifyTransform(const std::string& path, const IntendedProperties& intended, const SourceLookup& source);

}  // namespace mkx::transform
