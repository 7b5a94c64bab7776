#include "transform/write_transform.h"

#include <vector>

#include "platform/console.h"
#include "platform/temp_files.h"
#include "platform/wide.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::transform {

using installer::DWORD;
using installer::MSIHANDLE;
using installer::UINT;
using tool::ScopedMsiHandle;

void ReportLastInstallerError(installer::InstallerDatabase& msi, UINT code) {
  ScopedMsiHandle record(msi, msi.MsiGetLastErrorRecord());
  if (record.get() == 0) return;
  char16_t empty[1] = {u'\0'};
  DWORD length = 0;
  if (msi.MsiFormatRecordW(0, record.get(), empty, &length) != ERROR_MORE_DATA) return;
  ++length;
  std::vector<char16_t> buffer(length);
  if (msi.MsiFormatRecordW(0, record.get(), buffer.data(), &length) == ERROR_SUCCESS) {
    platform::Print(u"Err#%d %s\n",
                    {static_cast<int64_t>(static_cast<int32_t>(code)), std::u16string_view(buffer.data())});
  }
}

bool WriteTransform(installer::InstallerDatabase& msi, MSIHANDLE working, MSIHANDLE source,
                    const std::u16string& transform_path) {
  const UINT committed = msi.MsiDatabaseCommit(working);
  if (committed != ERROR_SUCCESS) {
    // A copy that could not be saved (a full disk, a write error) makes no transform.
    platform::Print(u"Error in MsiDatabaseCommit, Err#%d\n", {static_cast<int64_t>(static_cast<int32_t>(committed))});
    ReportLastInstallerError(msi, committed);
    return false;
  }
  const UINT generated = msi.MsiDatabaseGenerateTransformW(working, source, transform_path.c_str(), 0, 0);
  if (generated == ERROR_SUCCESS) {
    const UINT summary = msi.MsiCreateTransformSummaryInfoW(working, source, transform_path.c_str(), 0, 0);
    // A database without ProductCode or ProductVersion gives a transform without
    // summary information, as before; a failed write leaves an incomplete file,
    // which is deleted.
    if (summary == ERROR_SUCCESS || summary == ERROR_INSTALL_PACKAGE_INVALID) return true;
    platform::Print(u"Error in writing the summary information of the MST, Err#%d\n",
                    {static_cast<int64_t>(static_cast<int32_t>(summary))});
    ReportLastInstallerError(msi, summary);
    (void)platform::RemoveFile(platform::EncodePath(transform_path));  // the failure was reported
    return false;
  }
  platform::Print(u"Error in generate MST for the property set, Err#%d\n",
                  {static_cast<int64_t>(static_cast<int32_t>(generated))});
  ReportLastInstallerError(msi, generated);
  return false;
}

}  // namespace mkx::transform
