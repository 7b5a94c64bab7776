// The system's converters between Windows codepages and UTF-16: iconv on POSIX,
// MultiByteToWideChar and WideCharToMultiByte on Windows. The engine keeps its own
// fast paths (ASCII, UTF-8, single-byte tables) and comes here for the rest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace mkx::platform {

/// Whether the system converts this codepage (a Windows codepage number). A question:
/// false is no failure.
bool HaveCodepage(uint32_t codepage);

/// Decodes text of a codepage the system converts. A byte that starts no valid
/// character (an invalid or truncated sequence) becomes U+FFFD and decoding goes on
/// with the next byte. Fails when the system has no converter for the codepage.
Result<std::u16string> DecodeCodepage(uint32_t codepage, std::string_view bytes);

/// Encodes text in a codepage the system converts. A character the codepage cannot
/// hold (a surrogate pair counts as one character, a lone surrogate too) becomes '?'.
/// Fails when the system has no converter for the codepage.
Result<std::string> EncodeCodepage(uint32_t codepage, std::u16string_view text);

}  // namespace mkx::platform
