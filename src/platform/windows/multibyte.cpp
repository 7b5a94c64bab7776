// Codepage conversion with the system's MultiByteToWideChar and WideCharToMultiByte.
// Whole strings go in one call; only text holding an invalid sequence or an
// unmappable character is converted a character at a time, to place U+FFFD and '?'
// exactly where the contract says.
#include "platform/multibyte.h"

#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

Error NoConverter(uint32_t codepage) {
  return SystemError(result_code::kInvalidParameter, u"codepage " + Widen(std::to_string(codepage)),
                     WindowsErrorText(result_code::kInvalidParameter));
}

/// Decodes all of `bytes` or nothing (false when any sequence is invalid).
bool DecodeStrict(UINT cp, const char* bytes, int length, std::u16string& out) {
  const int needed = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes, length, nullptr, 0);
  if (needed <= 0) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(needed));
  return ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes, length, reinterpret_cast<wchar_t*>(&out[at]),
                               needed) == needed;
}

/// Encodes all of `text`; false when a character needed the default character.
bool EncodeStrict(UINT cp, const char16_t* text, int length, std::string& out) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text);
  BOOL used_default = FALSE;
  const int needed = ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, "?", &used_default);
  if (needed <= 0 || used_default) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(needed));
  return ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide, length, &out[at], needed, "?", &used_default) ==
             needed &&
         !used_default;
}

}  // namespace

bool HaveCodepage(uint32_t codepage) { return ::IsValidCodePage(codepage) != 0; }

Result<std::u16string> DecodeCodepage(uint32_t codepage, std::string_view bytes) {
  if (!HaveCodepage(codepage)) return NoConverter(codepage);
  std::u16string out;
  if (bytes.empty()) return out;
  if (DecodeStrict(codepage, bytes.data(), static_cast<int>(bytes.size()), out)) return out;
  out.clear();
  size_t i = 0;
  while (i < bytes.size()) {
    const bool lead = ::IsDBCSLeadByteEx(codepage, static_cast<BYTE>(bytes[i])) != 0;
    const size_t length = lead && i + 1 < bytes.size() ? 2 : 1;
    const size_t before = out.size();
    if (DecodeStrict(codepage, bytes.data() + i, static_cast<int>(length), out)) {
      i += length;
    } else {
      out.resize(before);
      out.push_back(kReplacement);  // the next byte starts afresh
      ++i;
    }
  }
  return out;
}

Result<std::string> EncodeCodepage(uint32_t codepage, std::u16string_view text) {
  if (!HaveCodepage(codepage)) return NoConverter(codepage);
  std::string out;
  if (text.empty()) return out;
  if (EncodeStrict(codepage, text.data(), static_cast<int>(text.size()), out)) return out;
  out.clear();
  for (size_t i = 0; i < text.size();) {
    size_t length = 1;
    if (text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      length = 2;
    }
    const size_t before = out.size();
    if (!EncodeStrict(codepage, text.data() + i, static_cast<int>(length), out)) {
      out.resize(before);
      out.push_back('?');
    }
    i += length;
  }
  return out;
}

}  // namespace mkx::platform
