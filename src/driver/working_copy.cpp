#include "driver/working_copy.h"

#include "platform/console.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::driver {

WorkingCopy::WorkingCopy(const std::string& keep_clear) {
  platform::DeferTerminationSignals deferred;  // no signal between creating and arming
  auto directory = platform::GetTempDirectory(4096);
  auto made = directory.ok() ? platform::CreateUniqueTempFile(*directory, u"msi")
                             : Result<platform::TempFile>(directory.error());
  if (made.ok() && platform::SameExistingFile(keep_clear, platform::EncodePath(made->path()))) {
    // The name was free, and the transform is to go there (or where a link there
    // points): another name, taken while this one is still held.
    auto other = platform::CreateUniqueTempFile(*directory, u"msi");
    (void)platform::RemoveFile(platform::EncodePath(made->path()));
    made = std::move(other);
  }
  if (!made.ok()) {
    made_ = made.error();
    return;
  }
  file_ = std::move(made).value();
  // A path the registry cannot hold is still deleted by the destructor; only a
  // signal would leave it behind.
  (void)cleanup_.Arm(platform::EncodePath(path()));
}

WorkingCopy::~WorkingCopy() {
  if (path().empty()) return;
  (void)platform::RemoveFile(platform::EncodePath(path()));  // nothing to tell the user
  cleanup_.Disarm();
}

Status WorkingCopy::CopyFrom(const std::u16string& database_path) {
  if (!made_.ok()) {
    // The subject of the failure to make the file is the temporary directory.
    const std::u16string where = made_.error().fields.empty() ? std::u16string() : made_.error().fields[0];
    platform::Print(u"Error copying the MSI to %s\n", {where});
    return made_;
  }
  Status copied = platform::CopyFileOver(platform::EncodePath(database_path), file_);
  if (!copied.ok()) platform::Print(u"Error copying the MSI to %s\n", {path()});
  return copied;
}

}  // namespace mkx::driver
