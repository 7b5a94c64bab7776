// Conversions between the tool's 16-bit strings and byte strings.
//
// On POSIX, command-line bytes widen one to one (byte b becomes U+00bb), and a path
// narrows back the same way, so any path given on the command line round-trips
// exactly. On Windows the command line is already 16-bit (see EncodePath).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mkx::platform {

/// Each byte becomes the 16-bit character of the same value.
std::u16string Widen(std::string_view bytes);

/// Each character up to U+00FF becomes the byte of the same value; anything above
/// becomes '?', one for a surrogate pair too. Inverse of Widen for every string Widen
/// produces.
std::string Narrow(std::u16string_view text);
/// The same into `out`, which holds text.size() bytes; returns the bytes written.
size_t NarrowInto(std::u16string_view text, char* out);
/// Whether a UTF-16 unit is the first, or the second, of a surrogate pair.
inline bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
inline bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

/// A path as the engine carries it (std::string) and back. On POSIX the bytes widen
/// and narrow one to one, as above. On Windows, where paths are UTF-16, the string
/// holds UTF-8, with an unpaired surrogate kept as its own three-byte sequence, so
/// that every Windows path round-trips exactly.
std::string EncodePath(std::u16string_view path);
std::u16string DecodePath(std::string_view path);

/// Plain ASCII/UTF-16 helper for literals and messages built in code.
std::u16string FromAscii(std::string_view ascii);

/// The system's text for an errno value, widened.
std::u16string SystemErrorText(int errno_value);

}  // namespace mkx::platform
