// Codepage conversion.
//
// Single-byte codepages are converted through a 256-entry table (and its inverse),
// built once per thread: 1252 from its own definition here, the others from the
// system's converter; multi-byte codepages go straight to that converter
// (platform/multibyte.h). A codepage the system cannot convert is reported by
// IsSupportedCodepage, never dereferenced. Nothing here is shared between threads,
// so no locking is needed. ASCII-only input (the common case) skips all of it.
#include "engine/codepage.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/multibyte.h"
#include "platform/utf8.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

uint32_t Effective(uint32_t codepage) { return codepage == 0 ? 1252 : codepage; }

bool IsSingleByte(uint32_t cp) { return cp == 874 || (cp >= 1250 && cp <= 1258); }

bool IsAscii(std::u16string_view text) {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

/// Byte <-> UTF-16 tables of a single-byte codepage.
struct SingleByteTable {
  std::array<char16_t, 256> to_unicode{};
  std::vector<uint8_t> from_unicode;  // 65536 entries; 0 = not representable (except U+0000)
};

/// Windows-1252 bytes 0x80..0x9F (the rest is Latin-1). 0 marks a byte the codepage
/// leaves undefined; the platform's converter keeps such a byte's value.
constexpr char16_t k1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

/// The character of byte `b`, or U+FFFD when it has none. 1252 (which neutral text is
/// read as, and which text of an unsupported codepage falls back to) is built in, so
/// it never depends on the system's converters; others come from them.
char16_t ByteToUnicode(uint32_t cp, unsigned b) {
  const bool control_range = b >= 0x80 && b < 0xA0;
  if (cp == 1252) return control_range && k1252High[b - 0x80] != 0 ? k1252High[b - 0x80] : static_cast<char16_t>(b);
  const char in = static_cast<char>(b);
  auto decoded = platform::DecodeCodepage(cp, std::string_view(&in, 1));
  if (decoded.ok() && decoded->size() == 1 && (*decoded)[0] != kReplacement) return (*decoded)[0];
  return control_range ? static_cast<char16_t>(b) : kReplacement;  // undefined control-range byte keeps its value
}

/// The table of a single-byte codepage, or null when the system cannot convert it.
const SingleByteTable* SingleByte(uint32_t cp) {
  thread_local std::unordered_map<uint32_t, std::unique_ptr<SingleByteTable>> cache;
  auto it = cache.find(cp);
  if (it != cache.end()) return it->second.get();
  std::unique_ptr<SingleByteTable> table;
  if (cp == 1252 || platform::HaveCodepage(cp)) {
    table = std::make_unique<SingleByteTable>();
    table->from_unicode.assign(0x10000, 0);
    for (unsigned b = 0; b < 256; ++b) {
      const char16_t ch = ByteToUnicode(cp, b);
      table->to_unicode[b] = ch;
      if (ch != kReplacement && (table->from_unicode[ch] == 0)) {
        table->from_unicode[ch] = static_cast<uint8_t>(b);
      }
    }
  }
  const SingleByteTable* result = table.get();
  cache.emplace(cp, std::move(table));
  return result;
}

std::u16string WidenAscii(std::string_view bytes) {
  return std::u16string(bytes.begin(), bytes.end());
}

}  // namespace

bool IsAscii(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsSupportedCodepage(uint32_t codepage) {
  uint32_t cp = Effective(codepage);
  if (cp == 65001) return true;
  if (IsSingleByte(cp)) return SingleByte(cp) != nullptr;
  if (cp == 932 || cp == 936 || cp == 949 || cp == 950) return platform::HaveCodepage(cp);
  return false;
}

std::u16string DecodeText(uint32_t codepage, std::string_view bytes) {
  if (IsAscii(bytes)) return WidenAscii(bytes);
  uint32_t cp = IsSupportedCodepage(codepage) ? Effective(codepage) : 1252;
  if (cp == 65001) return platform::Utf16FromUtf8(bytes, platform::LoneSurrogates::kReplace);
  if (IsSingleByte(cp)) {
    const SingleByteTable* table = SingleByte(cp);
    std::u16string out(bytes.size(), u'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
      out[i] = table->to_unicode[static_cast<unsigned char>(bytes[i])];
    }
    return out;
  }
  // A multi-byte codepage here has a converter (IsSupportedCodepage asked).
  auto decoded = platform::DecodeCodepage(cp, bytes);
  return decoded.ok() ? std::move(decoded).value() : std::u16string(bytes.size(), kReplacement);
}

std::string EncodeText(uint32_t codepage, std::u16string_view text) {
  if (IsAscii(text)) return std::string(text.begin(), text.end());
  uint32_t cp = IsSupportedCodepage(codepage) ? Effective(codepage) : 1252;
  if (cp == 65001) return platform::Utf8FromUtf16(text, platform::LoneSurrogates::kReplace);
  if (IsSingleByte(cp)) {
    const SingleByteTable* table = SingleByte(cp);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      char16_t c = text[i];
      uint8_t b = table->from_unicode[c];
      if (b == 0 && c != 0) {
        b = '?';
        // A surrogate pair is one character: one '?'.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
          ++i;
        }
      }
      out.push_back(static_cast<char>(b));
    }
    return out;
  }
  auto encoded = platform::EncodeCodepage(cp, text);
  return encoded.ok() ? std::move(encoded).value() : std::string(text.size(), '?');
}

bool EncodedExactly(uint32_t codepage, std::u16string_view text, std::string_view bytes) {
  return IsAscii(text) || DecodeText(codepage, bytes) == text;
}

std::u16string FirstCharacterNotHeld(uint32_t codepage, std::u16string_view text) {
  for (size_t i = 0; i < text.size();) {
    const bool pair =
        platform::IsHighSurrogate(text[i]) && i + 1 < text.size() && platform::IsLowSurrogate(text[i + 1]);
    const std::u16string_view c = text.substr(i, pair ? 2 : 1);
    i += c.size();
    if (EncodedExactly(codepage, c, EncodeText(codepage, c))) continue;
    const uint32_t code = pair ? 0x10000 + ((c[0] - 0xD800u) << 10) + (c[1] - 0xDC00u) : c[0];
    char out[16];
    std::snprintf(out, sizeof out, "U+%04X", static_cast<unsigned>(code));
    return platform::FromAscii(out);
  }
  return u"";
}

}  // namespace mkx::engine
