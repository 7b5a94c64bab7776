// A field value as callers of the engine see it: null, an integer or a string.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace mkx::engine {

struct Value {
  enum class Kind : uint8_t { kNull, kInteger, kString };

  Kind kind = Kind::kNull;
  int32_t integer = 0;
  std::u16string text;

  static Value Null() { return {}; }
  static Value Integer(int32_t v) { return {Kind::kInteger, v, {}}; }
  /// An empty string is null in an installer database.
  static Value String(std::u16string s) {
    if (s.empty()) return {};
    return {Kind::kString, 0, std::move(s)};
  }

  bool is_null() const { return kind == Kind::kNull; }
  friend bool operator==(const Value&, const Value&) = default;
};

}  // namespace mkx::engine
