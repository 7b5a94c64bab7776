#include "tool/last_error.h"

#include <vector>

#include "platform/console.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::tool {

void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code) {
  ScopedMsiHandle record(msi, msi.MsiGetLastErrorRecord());
  if (record.get() == 0) return;
  char16_t empty[1] = {u'\0'};
  installer::DWORD length = 0;
  if (msi.MsiFormatRecordW(0, record.get(), empty, &length) != ERROR_MORE_DATA) return;
  ++length;
  std::vector<char16_t> buffer(length);
  if (msi.MsiFormatRecordW(0, record.get(), buffer.data(), &length) == ERROR_SUCCESS) {
    platform::Print(u"Err#%d %s\n", {Signed(code), std::u16string_view(buffer.data())});
  }
}

}  // namespace mkx::tool
