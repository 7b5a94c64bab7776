// Conversions between the tool's 16-bit strings and the byte strings of POSIX.
//
// Command-line bytes widen one to one (byte b becomes U+00bb), and a path narrows
// back the same way, so any path given on the command line round-trips exactly.
#pragma once

#include <string>
#include <string_view>

namespace mkx::platform {

/// Each byte becomes the 16-bit character of the same value.
std::u16string Widen(std::string_view bytes);

/// Each character up to U+00FF becomes the byte of the same value; anything above
/// becomes '?'. Inverse of Widen for every string Widen produces.
std::string Narrow(std::u16string_view text);

/// Plain ASCII/UTF-16 helper for literals and messages built in code.
std::u16string FromAscii(std::string_view ascii);

/// The system's text for an errno value, widened.
std::u16string SystemErrorText(int errno_value);

}  // namespace mkx::platform
