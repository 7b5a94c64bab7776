// Codepage conversion through iconv, with descriptors cached per thread (nothing is
// shared between threads, so no locking is needed).
#include "platform/multibyte.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <unordered_map>

#include "platform/system_error.h"
#include "platform/wide.h"

namespace mkx::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

std::string IconvName(uint32_t cp) {
  if (cp >= 1250 && cp <= 1258) return "WINDOWS-" + std::to_string(cp);
  return "CP" + std::to_string(cp);
}

/// A pair of iconv descriptors for one codepage, closed on destruction.
class IconvPair {
 public:
  explicit IconvPair(uint32_t cp) {
    std::string name = IconvName(cp);
    to_utf16_ = iconv_open("UTF-16LE", name.c_str());
    if (!ok_handle(to_utf16_)) error_ = errno;
    from_utf16_ = iconv_open(name.c_str(), "UTF-16LE");
    if (!ok_handle(from_utf16_)) error_ = errno;
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
  int error() const { return error_; }  // why iconv_open failed

 private:
  static bool ok_handle(iconv_t h) { return h != reinterpret_cast<iconv_t>(-1); }
  iconv_t to_utf16_;
  iconv_t from_utf16_;
  int error_ = 0;
};

const IconvPair& Pair(uint32_t cp) {
  thread_local std::unordered_map<uint32_t, std::unique_ptr<IconvPair>> cache;
  auto it = cache.find(cp);
  if (it == cache.end()) it = cache.emplace(cp, std::make_unique<IconvPair>(cp)).first;
  return *it->second;
}

/// The descriptors of a codepage, or why the system has none.
Result<const IconvPair*> Descriptors(uint32_t cp) {
  const IconvPair& pair = Pair(cp);
  if (!pair.ok()) {
    return SystemError(result_code::kInvalidParameter, u"codepage " + Widen(std::to_string(cp)),
                       SystemErrorText(pair.error()));
  }
  return &pair;
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

/// Appends what a converter still holds and resets it: a shift state, or a letter the
/// Hebrew and Vietnamese decoders keep back in case a combining mark follows.
void Flush(iconv_t cd, std::string& out) {
  char buffer[16];
  char* out_ptr = buffer;
  size_t out_left = sizeof buffer;
  iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
  out.append(buffer, static_cast<size_t>(out_ptr - buffer));
}

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

}  // namespace

bool HaveCodepage(uint32_t codepage) { return Pair(codepage).ok(); }

Result<std::u16string> DecodeCodepage(uint32_t codepage, std::string_view bytes) {
  auto descriptors = Descriptors(codepage);
  if (!descriptors.ok()) return descriptors.take_error();
  const IconvPair* cd = *descriptors;
  std::string utf16;
  size_t pos = 0;
  iconv(cd->to_utf16(), nullptr, nullptr, nullptr, nullptr);
  while (pos < bytes.size()) {
    pos += IconvStep(cd->to_utf16(), bytes.data() + pos, bytes.size() - pos, utf16);
    if (pos < bytes.size()) {  // invalid or truncated sequence: one byte becomes U+FFFD
      Flush(cd->to_utf16(), utf16);
      utf16.push_back(static_cast<char>(kReplacement & 0xFF));
      utf16.push_back(static_cast<char>(kReplacement >> 8));
      ++pos;
    }
  }
  Flush(cd->to_utf16(), utf16);
  return FromUtf16Le(utf16);
}

Result<std::string> EncodeCodepage(uint32_t codepage, std::u16string_view text) {
  auto descriptors = Descriptors(codepage);
  if (!descriptors.ok()) return descriptors.take_error();
  const IconvPair* cd = *descriptors;
  std::string in(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    in[2 * i] = static_cast<char>(text[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  std::string out;
  size_t pos = 0;
  iconv(cd->from_utf16(), nullptr, nullptr, nullptr, nullptr);
  while (pos < in.size()) {
    pos += IconvStep(cd->from_utf16(), in.data() + pos, in.size() - pos, out);
    if (pos < in.size()) {  // unmappable character (or lone surrogate)
      Flush(cd->from_utf16(), out);
      out.push_back('?');
      char16_t unit = text[pos / 2];
      size_t units = 1;
      if (unit >= 0xD800 && unit < 0xDC00 && pos / 2 + 1 < text.size()) {
        char16_t next = text[pos / 2 + 1];
        if (next >= 0xDC00 && next < 0xE000) units = 2;
      }
      pos += units * 2;
    }
  }
  Flush(cd->from_utf16(), out);
  return out;
}

}  // namespace mkx::platform
