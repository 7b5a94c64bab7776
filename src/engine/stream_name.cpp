// Stream-name packing: see stream_name.h for the scheme.
#include "engine/stream_name.h"

namespace mkx::engine {
namespace {

constexpr char16_t kTableMarker = 0x4840;
constexpr char16_t kPairBase = 0x3800;
constexpr char16_t kSingleBase = 0x4800;

/// Value 0..63 of an alphabet character, or -1.
int SymbolValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  if (c >= u'a' && c <= u'z') return c - u'a' + 36;
  if (c == u'.') return 62;
  if (c == u'_') return 63;
  return -1;
}

char16_t SymbolChar(unsigned v) {
  static constexpr char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
  return static_cast<char16_t>(kAlphabet[v & 63]);
}

}  // namespace

std::u16string EncodeStreamName(std::u16string_view name, bool table) {
  std::u16string out;
  out.reserve(name.size() + 1);
  if (table) out.push_back(kTableMarker);
  for (size_t i = 0; i < name.size(); ++i) {
    int first = SymbolValue(name[i]);
    if (first < 0) {
      out.push_back(name[i]);
      continue;
    }
    int second = i + 1 < name.size() ? SymbolValue(name[i + 1]) : -1;
    if (second >= 0) {
      out.push_back(static_cast<char16_t>(kPairBase + first + (second << 6)));
      ++i;
    } else {
      out.push_back(static_cast<char16_t>(kSingleBase + first));
    }
  }
  return out;
}

std::u16string DecodeStreamName(std::u16string_view stored, bool* is_table) {
  std::u16string out;
  out.reserve(stored.size() * 2);
  bool table = false;
  for (char16_t unit : stored) {
    if (unit >= kPairBase && unit < kSingleBase) {
      unsigned v = unit - kPairBase;
      out.push_back(SymbolChar(v & 63));
      out.push_back(SymbolChar(v >> 6));
    } else if (unit >= kSingleBase && unit < kTableMarker) {
      out.push_back(SymbolChar(unit - kSingleBase));
    } else if (unit == kTableMarker) {
      table = true;
    } else {
      out.push_back(unit);
    }
  }
  if (is_table) *is_table = table;
  return out;
}

}  // namespace mkx::engine
