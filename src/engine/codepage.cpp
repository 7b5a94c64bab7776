// Codepage conversion.
//
// Single-byte codepages are converted through a 256-entry table (and its inverse),
// built once per thread from iconv; every other codepage goes straight through iconv
// with descriptors cached per thread. Nothing here is shared between threads, so no
// locking is needed. ASCII-only input (the common case) skips all of it.
#include "engine/codepage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace mkx::engine {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

uint32_t Effective(uint32_t codepage) { return codepage == 0 ? 1252 : codepage; }

bool IsSingleByte(uint32_t cp) { return cp == 874 || (cp >= 1250 && cp <= 1258); }

std::string IconvName(uint32_t cp) {
  if (cp >= 1250 && cp <= 1258) return "WINDOWS-" + std::to_string(cp);
  return "CP" + std::to_string(cp);
}

bool IsAscii(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsAscii(std::u16string_view text) {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

/// A pair of iconv descriptors for one codepage, closed on destruction.
class IconvPair {
 public:
  explicit IconvPair(uint32_t cp) {
    std::string name = IconvName(cp);
    to_utf16_ = iconv_open("UTF-16LE", name.c_str());
    from_utf16_ = iconv_open(name.c_str(), "UTF-16LE");
  }
  ~IconvPair() {
    if (ok_handle(to_utf16_)) iconv_close(to_utf16_);
    if (ok_handle(from_utf16_)) iconv_close(from_utf16_);
  }
  IconvPair(const IconvPair&) = delete;
  IconvPair& operator=(const IconvPair&) = delete;

  bool ok() const { return ok_handle(to_utf16_) && ok_handle(from_utf16_); }
  iconv_t to_utf16() const { return to_utf16_; }
  iconv_t from_utf16() const { return from_utf16_; }

 private:
  static bool ok_handle(iconv_t h) { return h != reinterpret_cast<iconv_t>(-1); }
  iconv_t to_utf16_;
  iconv_t from_utf16_;
};

IconvPair* Descriptors(uint32_t cp) {
  thread_local std::unordered_map<uint32_t, std::unique_ptr<IconvPair>> cache;
  auto it = cache.find(cp);
  if (it == cache.end()) it = cache.emplace(cp, std::make_unique<IconvPair>(cp)).first;
  return it->second->ok() ? it->second.get() : nullptr;
}

/// Converts one chunk with iconv; returns the number of input bytes consumed.
size_t IconvStep(iconv_t cd, const char* in, size_t in_len, std::string& out) {
  char buffer[1024];
  char* in_ptr = const_cast<char*>(in);
  size_t in_left = in_len;
  while (in_left > 0) {
    char* out_ptr = buffer;
    size_t out_left = sizeof buffer;
    size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, static_cast<size_t>(out_ptr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) break;
  }
  return in_len - in_left;
}

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::u16string IconvDecode(IconvPair& cd, std::string_view bytes) {
  std::string utf16;
  size_t pos = 0;
  iconv(cd.to_utf16(), nullptr, nullptr, nullptr, nullptr);
  while (pos < bytes.size()) {
    pos += IconvStep(cd.to_utf16(), bytes.data() + pos, bytes.size() - pos, utf16);
    if (pos < bytes.size()) {  // invalid or truncated sequence: one byte becomes U+FFFD
      utf16.push_back(static_cast<char>(kReplacement & 0xFF));
      utf16.push_back(static_cast<char>(kReplacement >> 8));
      ++pos;
      iconv(cd.to_utf16(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  return FromUtf16Le(utf16);
}

std::string IconvEncode(IconvPair& cd, std::u16string_view text) {
  std::string in(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    in[2 * i] = static_cast<char>(text[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  std::string out;
  size_t pos = 0;
  iconv(cd.from_utf16(), nullptr, nullptr, nullptr, nullptr);
  while (pos < in.size()) {
    pos += IconvStep(cd.from_utf16(), in.data() + pos, in.size() - pos, out);
    if (pos < in.size()) {  // unmappable character (or lone surrogate)
      out.push_back('?');
      char16_t unit = text[pos / 2];
      size_t units = 1;
      if (unit >= 0xD800 && unit < 0xDC00 && pos / 2 + 1 < text.size()) {
        char16_t next = text[pos / 2 + 1];
        if (next >= 0xDC00 && next < 0xE000) units = 2;
      }
      pos += units * 2;
      iconv(cd.from_utf16(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  // Flush any shift state.
  char buffer[16];
  char* out_ptr = buffer;
  size_t out_left = sizeof buffer;
  iconv(cd.from_utf16(), nullptr, nullptr, &out_ptr, &out_left);
  out.append(buffer, static_cast<size_t>(out_ptr - buffer));
  return out;
}

/// Byte <-> UTF-16 tables of a single-byte codepage.
struct SingleByteTable {
  std::array<char16_t, 256> to_unicode{};
  std::vector<uint8_t> from_unicode;  // 65536 entries; 0 = not representable (except U+0000)
};

const SingleByteTable* SingleByte(uint32_t cp) {
  thread_local std::unordered_map<uint32_t, std::unique_ptr<SingleByteTable>> cache;
  auto it = cache.find(cp);
  if (it != cache.end()) return it->second.get();
  IconvPair* cd = Descriptors(cp);
  std::unique_ptr<SingleByteTable> table;
  if (cd) {
    table = std::make_unique<SingleByteTable>();
    table->from_unicode.assign(0x10000, 0);
    for (unsigned b = 0; b < 256; ++b) {
      char in = static_cast<char>(b);
      std::string utf16;
      iconv(cd->to_utf16(), nullptr, nullptr, nullptr, nullptr);
      size_t used = IconvStep(cd->to_utf16(), &in, 1, utf16);
      char16_t ch;
      if (used == 1 && utf16.size() == 2) {
        ch = static_cast<char16_t>(static_cast<unsigned char>(utf16[0]) |
                                   (static_cast<unsigned char>(utf16[1]) << 8));
      } else if (b >= 0x80 && b < 0xA0) {
        ch = static_cast<char16_t>(b);  // undefined control-range byte: the platform keeps its value
      } else {
        ch = kReplacement;
      }
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

// ---- UTF-8 ----

std::u16string Utf8Decode(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  const size_t n = bytes.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < n) {
    unsigned char b = byte(i);
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
    for (; j <= need && i + j < n; ++j) {
      unsigned char c = byte(i + j);
      if ((c & 0xC0) != 0x80) break;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (j <= need || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      out.push_back(kReplacement);
      i += j;  // skip the lead byte and the continuation bytes it claimed
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

std::string Utf8Encode(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      out.push_back('?');  // lone surrogate: not representable
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
  return out;
}

std::u16string WidenAscii(std::string_view bytes) {
  return std::u16string(bytes.begin(), bytes.end());
}

}  // namespace

bool IsSupportedCodepage(uint32_t codepage) {
  uint32_t cp = Effective(codepage);
  if (cp == 65001) return true;
  if (IsSingleByte(cp)) return SingleByte(cp) != nullptr;
  if (cp == 932 || cp == 936 || cp == 949 || cp == 950) return Descriptors(cp) != nullptr;
  return false;
}

std::u16string DecodeText(uint32_t codepage, std::string_view bytes) {
  if (IsAscii(bytes)) return WidenAscii(bytes);
  uint32_t cp = IsSupportedCodepage(codepage) ? Effective(codepage) : 1252;
  if (cp == 65001) return Utf8Decode(bytes);
  if (IsSingleByte(cp)) {
    const SingleByteTable* table = SingleByte(cp);
    std::u16string out(bytes.size(), u'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
      out[i] = table->to_unicode[static_cast<unsigned char>(bytes[i])];
    }
    return out;
  }
  return IconvDecode(*Descriptors(cp), bytes);
}

std::string EncodeText(uint32_t codepage, std::u16string_view text) {
  if (IsAscii(text)) return std::string(text.begin(), text.end());
  uint32_t cp = IsSupportedCodepage(codepage) ? Effective(codepage) : 1252;
  if (cp == 65001) return Utf8Encode(text);
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
  return IconvEncode(*Descriptors(cp), text);
}

}  // namespace mkx::engine
