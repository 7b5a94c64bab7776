// The path helpers the engine uses instead of POSIX calls (so that the Windows build
// can supply its own), and the system codepage converter behind engine/codepage.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/multibyte.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::platform {
namespace {

using test::TempDir;

TEST(PathTest, FileNameStartFindsTheLastComponent) {
  const struct {
    const char* path;
    size_t start;
  } cases[] = {
      {"out.mst", 0}, {"/out.mst", 1}, {"dir/out.mst", 4}, {"/a/b/", 5}, {"", 0},
      {"a\\b.mst", 0},  // a backslash is an ordinary character on POSIX
  };
  for (const auto& c : cases) EXPECT_EQ(FileNameStart(c.path), c.start) << c.path;
}

TEST(PathTest, EncodePathRoundTripsEveryByte) {
  std::string bytes;
  for (int b = 1; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  EXPECT_EQ(EncodePath(DecodePath(bytes)), bytes);
  EXPECT_EQ(DecodePath("caf\xe9"), u"caf\u00e9");
}

TEST(PathTest, RenameOverReplacesTheTargetAndReportsFailures) {
  TempDir dir;
  test::WriteText(dir.File("new"), "new");
  test::WriteText(dir.File("old"), "old");
  ASSERT_TRUE(RenameOver(dir.File("new"), dir.File("old")).ok());
  EXPECT_EQ(test::ReadText(dir.File("old")), "new");
  EXPECT_FALSE(PathExists(dir.File("new")));
  EXPECT_TRUE(PathExists(dir.File("old")));
  EXPECT_TRUE(PathExists(dir.path()));

  Status missing = RenameOver(dir.File("new"), dir.File("no/such/dir"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.code(), result_code::kCreateFailed);
  ASSERT_EQ(missing.error().fields.size(), 2u);
  EXPECT_EQ(missing.error().fields[0], Widen(dir.File("no/such/dir")));
}

TEST(MultibyteTest, ConvertsWithReplacementsWhereTheContractSaysSo) {
  ASSERT_TRUE(HaveCodepage(932));
  EXPECT_FALSE(HaveCodepage(12345));
  const struct {
    uint32_t codepage;
    std::string bytes;
    std::u16string text;
  } decode[] = {
      {932, "\x93\xfa\x96\x7b", u"\u65e5\u672c"},      // two double-byte characters
      {932, "a\x93", u"a\ufffd"},                      // truncated lead byte
      {936, "\xc4\xe3", u"\u4f60"},
      {1252, "\x80", u"\u20ac"},
  };
  for (const auto& c : decode) EXPECT_EQ(*DecodeCodepage(c.codepage, c.bytes), c.text) << c.codepage;

  EXPECT_EQ(*EncodeCodepage(932, u"\u65e5x"), "\x93\xfax");
  EXPECT_EQ(*EncodeCodepage(932, u"\u00e9"), "?");               // not in 932
  EXPECT_EQ(*EncodeCodepage(932, u"a\U0001F600b"), "a?b");       // one '?' for a pair
  EXPECT_EQ(*EncodeCodepage(932, std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
  EXPECT_FALSE(DecodeCodepage(12345, "x").ok());
  EXPECT_FALSE(EncodeCodepage(12345, u"x").ok());
}

}  // namespace
}  // namespace mkx::platform
