#include "engine/stream_name.h"

#include <gtest/gtest.h>

namespace mkx::engine {
namespace {

struct NameCase {
  std::u16string logical;
  bool table;
  std::u16string stored;
};

TEST(StreamNameTest, EncodesAndDecodesKnownNames) {
  const NameCase cases[] = {
      {u"Property", true, u"\x4840\x4559\x44F2\x4568\x4737"},
      {u"_StringPool", true, u"\x4840\x3F3F\x4577\x446C\x3E6A\x44B2\x482F"},
      {u"_StringData", true, u"\x4840\x3F3F\x4577\x446C\x3B6A\x45E4\x4824"},
      {u"_Tables", true, u"\x4840\x3F7F\x4164\x422F\x4836"},
      {u"_Columns", true, u"\x4840\x3B3F\x43F2\x4438\x45B1"},
      // Characters outside the alphabet are copied and break the pairing.
      {u"Binary.a-b \u00e9", false, u"\x430B\x4131\x4735\x413E\x002D\x4825\x0020\x00E9"},
      {u"", true, u"\x4840"},
      {u"x", false, u"\x483B"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(EncodeStreamName(c.logical, c.table), c.stored);
    bool is_table = !c.table;
    EXPECT_EQ(DecodeStreamName(c.stored, &is_table), c.logical);
    EXPECT_EQ(is_table, c.table);
  }
}

}  // namespace
}  // namespace mkx::engine
