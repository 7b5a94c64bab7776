#include "driver/working_copy.h"

#include "platform/console.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::driver {

std::u16string MakeWorkingCopyName() {
  const std::u16string directory = platform::GetTempDirectory(4096);
  if (directory.empty()) return {};
  return platform::CreateUniqueTempFile(directory, u"msi");
}

bool CopyToWorkingCopy(const std::u16string& database_path, const std::u16string& working_copy_path) {
  if (!working_copy_path.empty() &&
      platform::CopyFileOver(platform::EncodePath(database_path), platform::EncodePath(working_copy_path))) {
    return true;
  }
  platform::Print(u"Error copying the MSI to %s\n", {working_copy_path});
  return false;
}

void RemoveWorkingCopy(const std::u16string& working_copy_path) {
  if (!working_copy_path.empty()) platform::RemoveFile(platform::EncodePath(working_copy_path));
}

}  // namespace mkx::driver
