// Windows paths are UTF-16. The engine carries paths as std::string, so they travel
// there as UTF-8; an unpaired surrogate (which Windows file names may hold) is kept
// as its own three-byte sequence, so every path converts back exactly.
#include "platform/wide.h"

namespace mkx::platform {

std::string EncodePath(std::u16string_view path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    uint32_t cp = path[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < path.size() && path[i + 1] >= 0xDC00 && path[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (path[i + 1] - 0xDC00);
      ++i;
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
  return out;
}

std::u16string DecodePath(std::string_view path) {
  std::u16string out;
  out.reserve(path.size());
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<unsigned char>(path[k]); };
  while (i < path.size()) {
    const unsigned char b = byte(i);
    unsigned need = 0;
    uint32_t cp = b;
    uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3, cp = b & 0x07, min = 0x10000;
    } else if (b >= 0x80) {
      out.push_back(0xFFFD);  // not produced by EncodePath
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= need && i + j < path.size() && (byte(i + j) & 0xC0) == 0x80; ++j) {
      cp = (cp << 6) | (byte(i + j) & 0x3F);
    }
    if (j <= need || cp < min || cp > 0x10FFFF) {
      out.push_back(0xFFFD);
      i += j;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));  // lone surrogates included
    }
    i += need + 1;
  }
  return out;
}

}  // namespace mkx::platform
