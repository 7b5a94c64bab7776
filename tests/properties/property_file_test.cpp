// Reading and parsing the property file.
#include <gtest/gtest.h>

#include "platform/wide.h"
#include "properties/property_file.h"
#include "support/test_support.h"

namespace mkx::properties {
namespace {

using platform::Widen;


/// Every line the reader yields, in order, until it reports the last one; `failure`
/// receives the reader's failure, if any.
std::vector<std::u16string> ReadAllLines(const std::string& bytes, std::u16string* failure = nullptr) {
  test::TempDir dir;
  test::WriteText(dir.File("p.txt"), bytes);
  auto file = OpenPropertyFile(Widen(dir.File("p.txt")));
  EXPECT_TRUE(file);
  std::vector<std::u16string> lines;
  for (;;) {
    PropertyLine line = ReadPropertyLine(**file);
    lines.push_back(line.text);
    if (line.last) break;
    if (lines.size() > 1000000) ADD_FAILURE() << "reader does not stop";
  }
  if (failure != nullptr) *failure = (*file)->failure();
  return lines;
}

TEST(PropertyReaderTest, LineEndsControlZAndNul) {
  struct Case {
    std::string bytes;
    std::vector<std::u16string> lines;
  } cases[] = {
      {"", {u""}},                                           // empty file: one empty line
      {"A=1\n", {u"A=1", u""}},                              // trailing LF: one more empty line
      {"A=1", {u"A=1"}},                                     // no LF at the end
      {"A=1\r\nB=2\r\n", {u"A=1", u"B=2", u""}},             // CR LF reads as LF
      {"A=1\rB=2\n", {u"A=1\rB=2", u""}},                    // a lone CR stays in the line
      {"A=1\nB=2\x1A" "C=3\n", {u"A=1", u"B=2"}},            // 0x1A ends the file
      {std::string("A=1\0tail\nB=2", 12), {u"A=1", u"B=2"}}, // NUL ends the line's text
      {"N\xFC" "a=\xE9t\xE9\n", {u"N\u00FCa=\u00E9t\u00E9", u""}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAllLines(c.bytes), c.lines);
}

TEST(PropertyReaderTest, ByteOrderMarkChoosesTheEncoding) {
  struct Case {
    std::string bytes;
    std::vector<std::u16string> lines;
  } cases[] = {
      {"\xEF\xBB\xBF" "a=\xD0\x96\xD0\xB0\r\nB=2", {u"a=\u0416\u0430", u"B=2"}},  // UTF-8
      {"\xEF\xBB\xBF\xF0\x9F\x98\x80\n", {u"\U0001F600", u""}},   // above U+FFFF: a pair
      {"\xEF\xBB\xBF" "A\x1A" "B", {u"A"}},                          // 0x1A still ends it
      {std::string("\xFF\xFE" "A\0=\0\x16\x04\r\0\n\0" "B\0", 14), {u"A=\u0416", u"B"}},  // UTF-16 LE
      {std::string("\xFE\xFF\0A\0=\x04\x16\0\n", 10), {u"A=\u0416", u""}},            // UTF-16 BE
      {std::string("\xFF\xFE\x1A\x04\x1A\0x\0", 8), {u"\u041A"}},  // U+041A is text, U+001A ends
      {std::string("\xFF\xFE" "A\0\0\0" "b\0\n\0" "C\0", 12), {u"A", u"C"}},  // NUL ends the text
      {"\xEF\xBB" "x\n", {u"\u00EF\u00BBx", u""}},                   // not a whole mark: bytes
      {"\xFE", {u"\u00FE"}},
      {"x\n\xEF\xBB\xBF", {u"x", u"\u00EF\u00BB\u00BF"}},          // a mark only counts first
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAllLines(c.bytes), c.lines) << c.bytes;
}

// Text not in the marked encoding ends the input with a failure: no character could
// stand for it.
TEST(PropertyReaderTest, MalformedTextFails) {
  struct Case {
    std::string bytes;
    std::u16string failure;
  } cases[] = {
      {"\xEF\xBB\xBF" "A=1\nB=\xD0x", u"the UTF-8 text is malformed at byte 11 of the file"},
      {"\xEF\xBB\xBF" "A=\xC0\xAF", u"the UTF-8 text is malformed at byte 6 of the file"},   // overlong
      {"\xEF\xBB\xBF" "A=\xED\xA0\x80", u"the UTF-8 text is malformed at byte 7 of the file"},  // surrogate
      {"\xEF\xBB\xBF" "A=\xE6\x97", u"the UTF-8 text is malformed at byte 7 of the file"},  // cut short
      {std::string("\xFF\xFE" "A\0" "B", 5), u"the UTF-16 text ends with half a character at byte 5 of the file"},
  };
  for (const auto& c : cases) {
    std::u16string failure;
    ReadAllLines(c.bytes, &failure);
    EXPECT_EQ(failure, c.failure) << c.bytes;
  }
}

TEST(PropertyReaderTest, LongLinesAreReadWhole) {
  const std::string value(100000, 'v');
  auto lines = ReadAllLines("LONG=" + value + "\nNEXT=1\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 5 + value.size());
  EXPECT_EQ(lines[1], u"NEXT=1");
}

TEST(ParsePropertyLineTest, SplitsAtFirstEqualsAndUpperCasesAsciiOnly) {
  struct Case {
    std::u16string line;
    bool accepted;
    std::u16string name, value;
  } cases[] = {
      {u"installdir=C:\\Apps", true, u"INSTALLDIR", u"C:\\Apps"},
      {u"A=b=c", true, u"A", u"b=c"},
      {u"Mixed_Case=Mixed_Case", true, u"MIXED_CASE", u"Mixed_Case"},
      {u"NAME=", false, u"", u""},
      {u"=value", false, u"", u""},
      {u"text without an equals sign", false, u"", u""},
      {u" n=x ", true, u" N", u"x "},
      {u"\u00FCber=1", true, u"\u00FCBER", u"1"},
      {u"q'uote=O'Brien", true, u"Q'UOTE", u"O'Brien"},
      {u"", false, u"", u""},
  };
  for (const auto& c : cases) {
    auto parsed = ParsePropertyLine(c.line);
    ASSERT_EQ(parsed.has_value(), c.accepted) << platform::Narrow(c.line);
    if (parsed) {
      EXPECT_EQ(parsed->Name, c.name);
      EXPECT_EQ(parsed->Value, c.value);
    }
  }
}

TEST(PropertyReaderTest, MissingFileDoesNotOpen) {
  test::TempDir dir;
  EXPECT_FALSE(OpenPropertyFile(Widen(dir.File("none.txt"))));
}

}  // namespace
}  // namespace mkx::properties
