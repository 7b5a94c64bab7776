// Commits the working copy and writes the transform between it and the source, with
// its summary information; failures are reported with the installer's extended text.
#pragma once

#include <functional>
#include <string>

#include "installer/installer_database.h"
#include "transform/verify_transform.h"

namespace mkx::transform {

/// What must hold before a written transform is published.
struct PublishChecks {
  IntendedProperties intended;            // every property the run set, with its value
  SourceLookup source_value;              // a property's value in the source
  std::function<Status()> source_unchanged;  // fails when the source changed under the run
  std::function<void(const std::string& path)> before_verifying;  // tests only
};

/// Commit, generate, add summary information, verify (see verify_transform.h), check
/// the source, publish. Returns true when the transform was published.
bool WriteTransform(installer::InstallerDatabase& msi, installer::MSIHANDLE working,
                    installer::MSIHANDLE source, const std::u16string& transform_path,
                    const PublishChecks& checks);

}  // namespace mkx::transform
