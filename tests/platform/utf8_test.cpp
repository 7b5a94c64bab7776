#include "platform/utf8.h"

#include <gtest/gtest.h>

namespace mkx::platform {
namespace {

constexpr auto kReplace = LoneSurrogates::kReplace;
constexpr auto kKeep = LoneSurrogates::kKeep;

TEST(Utf8Test, EncodesEveryLengthAndBothSurrogatePolicies) {
  struct Case {
    const char* what;
    std::u16string text;
    std::string replaced;
    std::string kept;
  } cases[] = {
      {"ascii", u"abc", "abc", "abc"},
      {"two bytes", u"caf\u00e9", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"three bytes", u"\u65E5", "\xE6\x97\xA5", "\xE6\x97\xA5"},
      {"pair: four bytes", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"lone high", std::u16string(1, u'\xD83D') + u"x", "?x", "\xED\xA0\xBDx"},
      {"lone low", std::u16string(1, u'\xDE00'), "?", "\xED\xB8\x80"},
      {"low before high", std::u16string{u'\xDE00', u'\xD83D'}, "??", "\xED\xB8\x80\xED\xA0\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8FromUtf16(c.text, kReplace), c.replaced) << c.what;
    EXPECT_EQ(Utf8FromUtf16(c.text, kKeep), c.kept) << c.what;
    // What is kept comes back exactly.
    EXPECT_EQ(Utf16FromUtf8(c.kept, kKeep), c.text) << c.what;
  }
}

TEST(Utf8Test, DecodesMalformedInputToOneReplacementPerLeadByte) {
  const std::u16string r(1, u'\xFFFD');
  struct Case {
    const char* what;
    std::string bytes;
    std::u16string replaced;
    std::u16string kept;
  } cases[] = {
      {"stray continuation", "a\x80z", u"a" + r + u"z", u"a" + r + u"z"},
      {"overlong", "\xC0\xAF", r + r, r + r},
      {"overlong three bytes", "\xE0\x80\xAF", r, r},
      {"cut short at the end", "ab\xE6\x97", u"ab" + r, u"ab" + r},
      {"cut short by ascii", "\xE6\x97x", r + u"x", r + u"x"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", r, r},
      {"lead byte F5", "\xF5\x80", r + r, r + r},
      {"encoded surrogate", "\xED\xA0\xBD", r, std::u16string(1, u'\xD83D')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16FromUtf8(c.bytes, kReplace), c.replaced) << c.what;
    EXPECT_EQ(Utf16FromUtf8(c.bytes, kKeep), c.kept) << c.what;
  }
}

}  // namespace
}  // namespace mkx::platform
