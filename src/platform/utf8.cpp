#include "platform/utf8.h"

#include <cstdint>

#include "platform/wide.h"

namespace mkx::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

std::string Utf8FromUtf16(std::u16string_view text, LoneSurrogates lone) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(text, lone, out);
  return out;
}

void AppendUtf8(std::u16string_view text, LoneSurrogates lone, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (IsHighSurrogate(cp) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if ((IsHighSurrogate(cp) || IsLowSurrogate(cp)) && lone == LoneSurrogates::kReplace) {
      out.push_back('?');
      continue;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

std::u16string Utf16FromUtf8(std::string_view bytes, LoneSurrogates lone) {
  std::u16string out;
  out.reserve(bytes.size());
  const size_t n = bytes.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  size_t i = 0;
  while (i < n) {
    const unsigned char b = byte(i);
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    unsigned need;
    uint32_t cp;
    uint32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3, cp = b & 0x07, min = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= need && i + j < n && (byte(i + j) & 0xC0) == 0x80; ++j) {
      cp = (cp << 6) | (byte(i + j) & 0x3F);
    }
    const bool surrogate = cp >= 0xD800 && cp < 0xE000;
    if (j <= need || cp < min || cp > 0x10FFFF || (surrogate && lone == LoneSurrogates::kReplace)) {
      out.push_back(kReplacement);
      i += j;  // the lead byte and the continuation bytes it claimed
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += need + 1;
  }
  return out;
}

}  // namespace mkx::platform
