#include "platform/windows/win32_support.h"

#include "platform/wide.h"

#include <windows.h>

namespace mkx::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are 16-bit");

std::u16string WindowsErrorText(uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string out;
  if (length != 0 && text != nullptr) out = FromWide(text);
  if (text != nullptr) ::LocalFree(text);
  // Without its line end and closing period, like the POSIX texts (error templates
  // add their own punctuation).
  while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r' || out.back() == u' ' || out.back() == u'.')) {
    out.pop_back();
  }
  if (out.empty()) out = u"system error " + Widen(std::to_string(code));
  return out;
}

std::wstring WidePath(std::string_view path) {
  const std::u16string wide = DecodePath(path);
  return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size());
}

bool FileVolumeAndIndex(std::string_view path, bool follow_links, uint64_t& volume, uint64_t& index) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  if (!ok) return false;
  volume = info.dwVolumeSerialNumber;
  index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace mkx::platform
