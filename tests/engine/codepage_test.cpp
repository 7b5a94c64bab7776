#include "engine/codepage.h"

#include <gtest/gtest.h>

#include "platform/multibyte.h"

namespace mkx::engine {
namespace {

struct TextCase {
  uint32_t codepage;
  std::u16string text;
  std::string bytes;
};

TEST(CodepageTest, RoundTripsKnownText) {
  const TextCase cases[] = {
      {0, u"caf\u00e9", "caf\xE9"},
      {1252, u"\u20ac\u2122 \u00fc", "\x80\x99 \xFC"},
      {1251, u"\u041f\u0440\u0438", "\xCF\xF0\xE8"},
      {1250, u"\u0141\u00f3d\u017a", "\xA3\xF3" "d\x9F"},
      {874, u"\u0e01", "\xA1"},
      // The system's decoders of these two keep a letter back for a combining mark.
      {1255, u"\u05e9\u05dc\u05d5\u05dd", "\xF9\xEC\xE5\xED"},
      {1258, u"caf\u00e9 a\u0301", "caf\xE9 a\xEC"},
      {65001, u"caf\u00e9 \U0001F600", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {932, u"\u65e5\u672c\u8a9e", "\x93\xFA\x96\x7B\x8C\xEA"},
      {936, u"\u4e2d\u6587", "\xD6\xD0\xCE\xC4"},
      {949, u"\ud55c", "\xC7\xD1"},
      {950, u"\u4e2d", "\xA4\xA4"},
      {1252, u"plain ascii", "plain ascii"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.codepage);
    EXPECT_TRUE(IsSupportedCodepage(c.codepage));
    EXPECT_EQ(EncodeText(c.codepage, c.text), c.bytes);
    EXPECT_EQ(DecodeText(c.codepage, c.bytes), c.text);
  }
}

TEST(CodepageTest, UnconvertibleCharactersBecomeQuestionMarks) {
  EXPECT_EQ(EncodeText(1252, u"a\u65e5b"), "a?b");
  EXPECT_EQ(EncodeText(1252, u"\U0001F600"), "?");  // one character, one '?'
  EXPECT_EQ(EncodeText(932, u"x\u0e01y"), "x?y");
  EXPECT_EQ(EncodeText(65001, u"\xD800z"), "?z");    // lone surrogate
  // Errors name the first such character.
  EXPECT_EQ(FirstCharacterNotHeld(1252, u"a\u00e9\u65e5\u4e2d"), u"U+65E5");
  EXPECT_EQ(FirstCharacterNotHeld(1252, u"?\U0001F600"), u"U+1F600");
  EXPECT_EQ(FirstCharacterNotHeld(65001, u"ok\xDC00"), u"U+DC00");
  EXPECT_EQ(FirstCharacterNotHeld(1251, u"\u041f?"), u"");
}

TEST(CodepageTest, InvalidBytesDecodeWithoutFailing) {
  EXPECT_EQ(DecodeText(65001, "a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(DecodeText(65001, "\xE6\x97"), u"\uFFFD");       // truncated sequence
  EXPECT_EQ(DecodeText(65001, "\xC0\x80"), u"\uFFFD\uFFFD");  // overlong form
  EXPECT_EQ(DecodeText(932, "a\x81"), u"a\uFFFD");            // lead byte at the end
  EXPECT_FALSE(IsSupportedCodepage(12345));
}

// 1252 is built in, so that it works where the system has no converter for it; where
// the system has one, both must agree on every byte.
TEST(CodepageTest, Builtin1252AgreesWithTheSystem) {
  if (!platform::HaveCodepage(1252)) GTEST_SKIP() << "no system converter for 1252";
  for (unsigned b = 0x80; b < 0x100; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::u16string system = *platform::DecodeCodepage(1252, byte);
    const bool undefined = system == u"\uFFFD";  // the engine keeps such a byte's value
    EXPECT_EQ(DecodeText(1252, byte), undefined ? std::u16string(1, static_cast<char16_t>(b)) : system) << b;
  }
}

}  // namespace
}  // namespace mkx::engine
