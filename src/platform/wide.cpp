#include "platform/wide.h"

#include <cstring>

namespace mkx::platform {

std::u16string Widen(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

size_t NarrowInto(std::u16string_view text, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    out[written++] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
  }
  return written;
}

std::string Narrow(std::u16string_view text) {
  std::string out(text.size(), '\0');
  out.resize(NarrowInto(text, out.data()));
  return out;
}

std::u16string FromAscii(std::string_view ascii) { return Widen(ascii); }

std::u16string SystemErrorText(int errno_value) {
  char buffer[256];
  // strerror_r has two flavours; the GNU one may return a static string.
#if defined(_WIN32)
  const char* text = strerror_s(buffer, sizeof buffer, errno_value) == 0 ? buffer : "unknown error";
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(errno_value, buffer, sizeof buffer);
#else
  const char* text = strerror_r(errno_value, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
  return Widen(text);
}

}  // namespace mkx::platform
