// UTF-8 <-> UTF-16 conversion, with a choice for unpaired surrogates. Text in an
// installer database cannot hold one (it becomes '?' going out, U+FFFD coming in);
// a Windows file name can, so a path keeps it as its own three-byte sequence and
// converts back exactly.
#pragma once

#include <string>
#include <string_view>

namespace mkx::platform {

enum class LoneSurrogates { kReplace, kKeep };

/// UTF-8 of 16-bit text; surrogate pairs become one four-byte sequence.
std::string Utf8FromUtf16(std::u16string_view text, LoneSurrogates lone);
/// The same, appended to `out`.
void AppendUtf8(std::u16string_view text, LoneSurrogates lone, std::string& out);
/// 16-bit text of UTF-8 bytes. Malformed, overlong or out-of-range sequences become
/// U+FFFD (one per lead byte with the continuation bytes it claimed), and so do
/// encoded surrogates unless kept.
std::u16string Utf16FromUtf8(std::string_view bytes, LoneSurrogates lone);

/// UTF-8 that converts back to exactly this text (unpaired surrogates kept), and back:
/// how engine values, records and the tool's kept values hold 16-bit text.
inline std::string ExactUtf8(std::u16string_view text) { return Utf8FromUtf16(text, LoneSurrogates::kKeep); }
inline std::u16string FromExactUtf8(std::string_view bytes) { return Utf16FromUtf8(bytes, LoneSurrogates::kKeep); }

}  // namespace mkx::platform
