#include "tool/last_error.h"

#include <vector>

#include "platform/console.h"
#include "tool/scoped_msi_handle.h"

namespace mkx::tool {

void ReportLastInstallerError(installer::InstallerDatabase& msi, installer::UINT code,
                              std::u16string_view private_path, std::u16string_view shown_path) {
  ScopedMsiHandle record(msi, msi.MsiGetLastErrorRecord());
  if (record.get() == 0) return;
  char16_t empty[1] = {u'\0'};
  installer::DWORD length = 0;
  if (msi.MsiFormatRecordW(0, record.get(), empty, &length) != ERROR_MORE_DATA) return;
  ++length;
  std::vector<char16_t> buffer(length);
  if (msi.MsiFormatRecordW(0, record.get(), buffer.data(), &length) != ERROR_SUCCESS) return;
  std::u16string text(buffer.data());
  for (size_t at = 0; !private_path.empty() && (at = text.find(private_path, at)) != std::u16string::npos;
       at += shown_path.size()) {
    text.replace(at, private_path.size(), shown_path);
  }
  platform::Print(u"Err#%d %s\n", {Signed(code), text});
}

}  // namespace mkx::tool
