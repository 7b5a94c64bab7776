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

}  // namespace mkx::platform
