#include "driver/working_copy.h"

#include "platform/console.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::driver {

WorkingCopy::WorkingCopy() {
  platform::DeferTerminationSignals deferred;  // no signal between creating and arming
  auto directory = platform::GetTempDirectory(4096);
  auto name = directory.ok() ? platform::CreateUniqueTempFile(*directory, u"msi")
                             : Result<std::u16string>(directory.error());
  if (!name.ok()) {
    made_ = name.error();
    return;
  }
  path_ = std::move(name).value();
  // A path the registry cannot hold is still deleted by the destructor; only a
  // signal would leave it behind.
  (void)cleanup_.Arm(platform::EncodePath(path_));
}

WorkingCopy::~WorkingCopy() {
  if (path_.empty()) return;
  (void)platform::RemoveFile(platform::EncodePath(path_));  // nothing to tell the user
  cleanup_.Disarm();
}

Status WorkingCopy::CopyFrom(const std::u16string& database_path) {
  Status copied = made_.ok() ? platform::CopyFileOver(platform::EncodePath(database_path), platform::EncodePath(path_))
                             : made_;
  if (!copied.ok()) platform::Print(u"Error copying the MSI to %s\n", {path_});
  return copied;
}

}  // namespace mkx::driver
