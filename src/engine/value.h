// A field value as callers of the engine see it: null, an integer or a string.
//
// A string is held as UTF-8, an unpaired surrogate as its own three-byte sequence
// (platform::ExactUtf8), so any 16-bit text converts back exactly. A
// value can be as long as a property file: this is half the size of UTF-16 for most
// text, and ASCII text is already the bytes every codepage stores.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace mkx::engine {

struct Value {
  enum class Kind : uint8_t { kNull, kInteger, kString };

  Kind kind = Kind::kNull;
  int32_t integer = 0;
  std::string text;  // UTF-8

  static Value Null() { return {}; }
  static Value Integer(int32_t v) { return {Kind::kInteger, v, {}}; }
  /// An empty string is null in an installer database.
  static Value String(std::string s) {
    if (s.empty()) return {};
    return {Kind::kString, 0, std::move(s)};
  }

  bool is_null() const { return kind == Kind::kNull; }
  friend bool operator==(const Value&, const Value&) = default;
};

}  // namespace mkx::engine
