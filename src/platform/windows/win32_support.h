// Helpers shared by the Windows platform files: the system's error text and the
// engine's path strings as the wide strings the Win32 functions take.
//
// Include this before <windows.h>: our result codes share names with winerror.h's
// macros (with the same values), so they must be declared before those exist.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mkx::platform {

/// The system's message for a Windows error code, without its trailing line end.
std::u16string WindowsErrorText(uint32_t code);

/// The path the engine carries (EncodePath's form) as a wide string for Win32 calls.
std::wstring WidePath(std::string_view path);

/// Volume serial number and file index of the existing file or directory at `path`
/// (a final reparse point itself when not `follow_links`), or false.
bool FileVolumeAndIndex(std::string_view path, bool follow_links, uint64_t& volume, uint64_t& index);

/// A 16-bit string as the Win32 functions take it (same size and representation).
inline const wchar_t* AsWide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string FromWide(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

}  // namespace mkx::platform
