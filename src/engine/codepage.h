// Conversion between 16-bit text and the byte strings of a database codepage.
//
// Codepage 0 (neutral) is read and written as 1252. Single-byte Windows codepages
// are converted by table; 65001 is UTF-8; multi-byte codepages (932, 936, 949, 950)
// go through the system's converter. A character the codepage cannot hold becomes
// '?', as the platform's conversion does without best-fit mapping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mkx::engine {

/// Whether text in this codepage can be converted at all: 0, 1252 and 65001 always;
/// other codepages when the system has a converter for them. A database whose
/// codepage is not supported cannot be opened (its string pool refuses to load).
bool IsSupportedCodepage(uint32_t codepage);

/// Whether two codepages encode text the same way (0 reads as 1252), so that equal
/// bytes mean equal text.
inline bool SameEncoding(uint32_t a, uint32_t b) { return (a == 0 ? 1252u : a) == (b == 0 ? 1252u : b); }

/// Whether the bytes are all ASCII: such text is the same bytes in every codepage,
/// and in UTF-8 (EncodeText and DecodeText leave it as it stands).
bool IsAscii(std::string_view bytes);

/// Text of an unsupported codepage is converted as 1252.
std::u16string DecodeText(uint32_t codepage, std::string_view bytes);
std::string EncodeText(uint32_t codepage, std::u16string_view text);

/// Whether `bytes`, EncodeText's result for `text`, hold every character of the text:
/// they decode to the very same text (no '?' stand-ins).
bool EncodedExactly(uint32_t codepage, std::u16string_view text, std::string_view bytes);

/// The first character of the text that the codepage cannot hold, as "U+XXXX" (a
/// surrogate pair as one character, a lone surrogate as itself), or "" if there is none.
std::u16string FirstCharacterNotHeld(uint32_t codepage, std::u16string_view text);

}  // namespace mkx::engine
