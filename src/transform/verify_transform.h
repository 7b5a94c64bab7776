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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "platform/result.h"

namespace mkx::transform {

/// Every property the run set, with its value (the last one given for a name), in
/// platform::ExactUtf8: a run can set a million properties, and a value can be as long
/// as the property file. Each is held as one string, its name then its value. They are
/// kept in the order they were set, and found by name through an index built on the
/// first lookup.
class IntendedProperties {
 public:
  struct Property {
    std::string text;  // the name, then the value
    size_t name_size = 0;
    std::string_view name() const { return std::string_view(text).substr(0, name_size); }
    std::string_view value() const { return std::string_view(text).substr(name_size); }
  };

  void Set(std::u16string_view name, std::u16string_view value);
  /// The property named `name` (ExactUtf8), or nullptr.
  const Property* Find(std::string_view name) const;
  /// Every property, once per name.
  std::vector<const Property*> All() const;

 private:
  std::vector<Property> set_;
  mutable std::unordered_map<std::string_view, size_t> index_;  // name -> its last entry; empty until looked up
};

/// The source's value of a property, or nothing when the source has no such row.
using SourceLookup = std::function<std::optional<std::u16string>(const std::u16string& name)>;

/// Checks the transform at `path` (see above). Fails with
/// ERROR_INSTALL_TRANSFORM_FAILURE and a record whose text says what unexpected
/// change, or what missing one, was found.
Status VerifyTransform(const std::string& path, const IntendedProperties& intended, const SourceLookup& source);
/// The same, for a transform's bytes read through `file`.
Status VerifyTransform(std::unique_ptr<platform::RandomAccessFile> file, const IntendedProperties& intended,
                       const SourceLookup& source);

}  // namespace mkx::transform
