#include "engine/transform/transform_records.h"

#include <gtest/gtest.h>

#include "engine/transform/diff_records.h"
#include "engine/transform/genuine_transform.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr CellKind S = CellKind::kString;
constexpr CellKind I2 = CellKind::kInt16;
constexpr CellKind I4 = CellKind::kInt32;
constexpr CellKind ST = CellKind::kStream;

TEST(TransformStringPoolTest, NumbersByFirstUseAndCountsEveryReference) {
  TransformStringPool pool(1252);
  EXPECT_EQ(pool.Use("ProductName"), 1u);
  EXPECT_EQ(pool.Use(""), 0u);  // null is never stored
  EXPECT_EQ(pool.Use("PuTTY patched"), 2u);
  EXPECT_EQ(pool.Use("ProductName"), 1u);
  Bytes p, d;
  pool.Serialize(p, d);
  EXPECT_EQ(p, (Bytes{0xE4, 0x04, 0, 0, 11, 0, 2, 0, 13, 0, 1, 0}));
  EXPECT_EQ(std::string(d.begin(), d.end()), "ProductNamePuTTY patched");
  EXPECT_FALSE(pool.long_refs());
}

TEST(TransformStringPoolTest, LongStringAndThreeByteReferences) {
  TransformStringPool pool(0);
  pool.Use(std::string(70000, 'x'));  // 0x11170 bytes: two-entry form
  pool.Use("b");
  Bytes p, d;
  pool.Serialize(p, d);
  EXPECT_EQ(p, (Bytes{0, 0, 0, 0, 0, 0, 0x01, 0, 0x70, 0x11, 1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(d.size(), 70001u);

  for (uint32_t i = pool.size(); i < 0xFFFF; ++i) pool.Use("s" + std::to_string(i));
  EXPECT_EQ(pool.size(), 0xFFFFu);
  EXPECT_EQ(pool.ref_width(), 2u);  // index 65535 still fits
  pool.Use("one more");
  EXPECT_EQ(pool.ref_width(), 3u);
  pool.Serialize(p, d);
  EXPECT_EQ(p[3], 0x80);  // header bit 31
}

TEST(TransformRecordTest, EncodesEachOperationAsApplied) {
  struct Case {
    const char* name;
    TransformRecord record;
    unsigned width;
    Bytes expected;
  };
  const Case cases[] = {
      {"insert of a Property row",
       {record_mask::Insert(2), {{S, 3}, {S, 4}}}, 2, {0x01, 0x02, 3, 0, 4, 0}},
      {"update of column 2",
       {record_mask::UpdateBit(2), {{S, 1}, {S, 2}}}, 2, {0x02, 0x00, 1, 0, 2, 0}},
      {"update of columns 12 and 16 uses the high byte",
       {static_cast<uint16_t>(record_mask::UpdateBit(12) | record_mask::UpdateBit(16)), {{S, 1}, {I4, 0x80030D4C}, {S, 9}}},
       2, {0x00, 0x88, 1, 0, 0x4C, 0x0D, 0x03, 0x80, 9, 0}},
      {"delete with a 2-byte integer key",
       {record_mask::kDelete, {{I2, 0x8001}}}, 2, {0, 0, 0x01, 0x80}},
      {"3-byte references; stream cell stays 2 bytes",
       {record_mask::Insert(2), {{S, 0x010203}, {ST, 1}}}, 3, {0x01, 0x02, 3, 2, 1, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    EncodeRecord(c.record, c.width, out);
    EXPECT_EQ(out, c.expected);
  }
}

// The genuine streams decode into records that re-encode to the same bytes.
TEST(TransformRecordTest, GenuineStreamsRoundTrip) {
  struct Case {
    const char* stream;
    std::vector<CellKind> columns;
    size_t keys;
    size_t records;
    uint16_t first_mask;
  };
  const Case cases[] = {
      {"!Property", {S, S}, 1, 3, 0x0201},
      {"!Media", {I2, I4, S, S, S, S}, 1, 1, 0x0601},
      {"!_Columns", {S, I2, S, I2}, 2, 8, 0x0401},
      {"!_Tables", {S}, 1, 2, 0x0101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream);
    const Bytes stream = test::ReadOleStream(test::RealFixture("WPF2_32.msp"), {"#T1ToU1", c.stream});
    ASSERT_FALSE(stream.empty());
    auto records = DecodeRecords(stream, c.columns, c.keys, 2);
    ASSERT_TRUE(records.ok());
    ASSERT_EQ(records->size(), c.records);
    EXPECT_EQ(records->front().mask, c.first_mask);
    Bytes again;
    for (const TransformRecord& r : *records) EncodeRecord(r, 2, again);
    EXPECT_EQ(again, stream);
  }
}

TEST(TransformRecordTest, DecodeReadsUpdateFieldsByMaskAndRejectsTruncation) {
  const std::vector<CellKind> wide = {S, S, S, S, I2, S, S, S, S, S, S, I4, S, S, S, S, S, S, S, S};
  // UPDATE columns 12 and 16, then DELETE.
  const Bytes stream = {0x00, 0x88, 1, 0, 0x4C, 0x0D, 0x03, 0x80, 9, 0, 0, 0, 2, 0};
  auto records = DecodeRecords(stream, wide, 1, 2);
  ASSERT_TRUE(records.ok());
  ASSERT_EQ(records->size(), 2u);
  ASSERT_EQ((*records)[0].fields.size(), 3u);
  EXPECT_EQ((*records)[0].fields[1].kind, I4);
  EXPECT_EQ((*records)[0].fields[1].value, 0x80030D4Cu);
  EXPECT_EQ((*records)[1].fields.size(), 1u);
  auto truncated = DecodeRecords(std::span(stream).first(stream.size() - 1), wide, 1, 2);
  EXPECT_EQ(truncated.code(), result_code::kInvalidData);
}

// Records are written in key order: null, then integers by value, then text by UTF-16
// code unit, which is not the byte order of every codepage.
TEST(DiffKeyTest, OrdersNullThenIntegersThenTextByUtf16CodeUnit) {
  using Key = std::vector<DiffField>;
  const struct {
    uint32_t codepage;
    Key a, b;
    bool less;
  } cases[] = {
      {1252, {{S, 0, ""}}, {{S, 0, "A"}}, true},
      {1252, {{I4, 0x7FFFFFFF, {}}}, {{I4, 0x80000001, {}}}, true},  // -1 < 1
      {1252, {{I2, 0x8001, {}}}, {{S, 0, "A"}}, true},
      {1252, {{S, 0, "a"}}, {{S, 0, "ab"}}, true},
      {1252, {{S, 0, "ab"}}, {{S, 0, "b"}}, true},
      {1252, {{S, 0, "\x80"}}, {{S, 0, "\xE9"}}, false},                  // U+20AC, U+00E9
      {65001, {{S, 0, "\xF0\x90\x80\x80"}}, {{S, 0, "\xEF\xBC\xA1"}}, true},  // U+10000, U+FF21
      {1252, {{S, 0, "T"}, {I2, 0x8002, {}}}, {{S, 0, "T"}, {I2, 0x8001, {}}}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KeyLess(c.codepage, c.a, c.b), c.less) << c.codepage << " " << c.a[0].bytes;
    EXPECT_FALSE(c.less && KeyLess(c.codepage, c.b, c.a)) << c.codepage << " " << c.a[0].bytes;
  }
}

}  // namespace
}  // namespace mkx::engine
