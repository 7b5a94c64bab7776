#include "engine/table.h"

#include <gtest/gtest.h>

#include <random>

namespace mkx::engine {
namespace {

namespace ct = column_type;
constexpr uint16_t kS72Key = ct::kValid | ct::kStringRef | ct::kStringStorage | ct::kKey | 72;
constexpr uint16_t kL0 = ct::kValid | ct::kLocalizable | ct::kStringRef | ct::kStringStorage;
constexpr uint16_t kI2Key = ct::kValid | ct::kStringRef | ct::kKey | 2;
constexpr uint16_t kI4Null = ct::kValid | ct::kNullable | 4;
constexpr uint16_t kStream = ct::kValid | ct::kStringStorage | ct::kNullable;

TEST(TableTest, ColumnKindsAndWidths) {
  struct Case {
    uint16_t type;
    CellKind kind;
    unsigned width2, width3;
  } cases[] = {
      {0x2D48, CellKind::kString, 2, 3}, {0x0F00, CellKind::kString, 2, 3},
      {0x2502, CellKind::kInt16, 2, 2},  {0x1502, CellKind::kInt16, 2, 2},
      {0x1104, CellKind::kInt32, 4, 4},  {0x0104, CellKind::kInt32, 4, 4},
      {0x0900, CellKind::kStream, 2, 2}, {0x1900, CellKind::kStream, 2, 2},
  };
  for (const Case& c : cases) {
    ColumnInfo col{u"c", c.type};
    EXPECT_EQ(col.kind(), c.kind) << std::hex << c.type;
    EXPECT_EQ(col.stored_width(2), c.width2) << std::hex << c.type;
    EXPECT_EQ(col.stored_width(3), c.width3) << std::hex << c.type;
  }
  TableSchema schema{u"T", {{u"K", kS72Key}, {u"N", kI2Key}, {u"V", kL0}, {u"X", kS72Key}}};
  EXPECT_EQ(schema.key_count(), 2u);  // only leading key columns count
  EXPECT_EQ(schema.row_width(3), 11u);
  EXPECT_EQ(schema.FindColumn(u"V"), 2u);
  EXPECT_FALSE(schema.FindColumn(u"v").has_value());
}

TEST(TableTest, IntegerEncoding) {
  struct Case {
    CellKind kind;
    int32_t value;
    uint32_t raw;
  } cases[] = {
      {CellKind::kInt16, -1, 0x7FFF},          {CellKind::kInt16, -32767, 0x0001},
      {CellKind::kInt16, 0, 0x8000},           {CellKind::kInt16, 1, 0x8001},
      {CellKind::kInt16, 32767, 0xFFFF},       {CellKind::kInt32, -2, 0x7FFFFFFE},
      {CellKind::kInt32, -2147483647, 0x1},    {CellKind::kInt32, 2147483647, 0xFFFFFFFF},
      {CellKind::kInt32, 0, 0x80000000},       {CellKind::kInt32, 10, 0x8000000A},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeInteger(c.kind, c.value), c.raw) << c.value;
    EXPECT_EQ(DecodeInteger(c.kind, c.raw), c.value) << c.value;
  }
}

TableSchema TwoKeySchema() {
  return TableSchema{u"T", {{u"K", kS72Key}, {u"N", kI2Key}, {u"V", kI4Null}, {u"D", kStream}}};
}

TEST(TableTest, DecodeEncodeIsColumnMajorAndSorted) {
  // Rows as stored with 3-byte refs: (10, 5, null, 1) and (12, -3, 7, 0).
  std::vector<uint8_t> stream = {
      0x0A, 0x00, 0x00, 0x0C, 0x00, 0x00,              // K
      0x05, 0x80, 0xFD, 0x7F,                          // N
      0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x80,  // V
      0x01, 0x00, 0x00, 0x00,                          // D
  };
  auto table = Table::Decode(TwoKeySchema(), stream, 3);
  ASSERT_TRUE(table.ok());
  ASSERT_EQ(table->row_count(), 2u);
  EXPECT_EQ(table->Cell(1, 0), 12u);
  EXPECT_EQ(DecodeInteger(CellKind::kInt16, table->Cell(1, 1)), -3);
  EXPECT_EQ(table->Cell(0, 2), 0u);
  EXPECT_EQ(table->Cell(0, 3), 1u);
  EXPECT_EQ(table->Encode(3), stream);
  EXPECT_FALSE(table->dirty());

  // A new row sorting first by raw key (string id 10 with a smaller biased integer).
  uint32_t first[] = {10, EncodeInteger(CellKind::kInt16, -3), 0, 0};
  table->AppendRow(first);
  EXPECT_TRUE(table->dirty());
  auto encoded = table->Encode(2);
  ASSERT_EQ(encoded.size(), 3u * 10);
  EXPECT_EQ(std::vector<uint8_t>(encoded.begin(), encoded.begin() + 6),
            (std::vector<uint8_t>{0x0A, 0x00, 0x0A, 0x00, 0x0C, 0x00}));
  EXPECT_EQ(std::vector<uint8_t>(encoded.begin() + 6, encoded.begin() + 12),
            (std::vector<uint8_t>{0xFD, 0x7F, 0x05, 0x80, 0xFD, 0x7F}));
}

TEST(TableTest, DecodeRejectsPartialRows) {
  std::vector<uint8_t> stream(13, 0);  // row width is 10 with 2-byte refs
  auto table = Table::Decode(TwoKeySchema(), stream, 2);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error().msi_error, 2229);
  EXPECT_EQ(table.error().fields.at(1), u"T");
  EXPECT_TRUE(Table::Decode(TwoKeySchema(), {}, 2).ok());
}

TEST(TableTest, FindSetEraseAndCount) {
  Table table(TableSchema{u"Property", {{u"Property", kS72Key}, {u"Value", kL0}}});
  for (uint32_t i = 1; i <= 20000; ++i) {
    uint32_t row[] = {i, i + 100000};
    table.AppendRow(row);
    if (i % 1000 == 0) {
      ASSERT_TRUE(table.FindByKey(std::span<const uint32_t>(row, 1)));
    }
  }
  uint32_t key = 777;
  ASSERT_EQ(table.FindByKey(std::span<const uint32_t>(&key, 1)), 776u);
  table.SetCell(776, 0, 900000);  // key change: old key gone, new key found
  EXPECT_FALSE(table.FindByKey(std::span<const uint32_t>(&key, 1)).has_value());
  uint32_t moved = 900000;
  EXPECT_EQ(table.FindByKey(std::span<const uint32_t>(&moved, 1)), 776u);
  table.EraseRow(0);
  EXPECT_EQ(table.row_count(), 19999u);
  EXPECT_EQ(table.FindByKey(std::span<const uint32_t>(&moved, 1)), 775u);

  std::vector<uint32_t> counts;
  table.CountStringRefs(counts);
  EXPECT_EQ(counts.at(2), 1u);
  EXPECT_EQ(counts.at(100002), 1u);  // Value cell of key 2
  EXPECT_EQ(counts.at(1), 0u);       // erased row
}

TEST(TableTest, KeyIndexFollowsEveryChange) {
  // Two-column key; random inserts, key updates and erases, each followed by lookups
  // checked against a linear scan.
  Table table(TableSchema{u"T", {{u"A", kS72Key}, {u"B", kI2Key}, {u"V", kL0}}});
  std::mt19937 random(7);
  auto linear = [&](uint32_t a, uint32_t b) -> std::optional<size_t> {
    for (size_t r = 0; r < table.row_count(); ++r) {
      if (table.Cell(r, 0) == a && table.Cell(r, 1) == b) return r;
    }
    return std::nullopt;
  };
  for (int step = 0; step < 3000; ++step) {
    uint32_t a = random() % 50 + 1, b = random() % 20 + 0x8000;
    switch (random() % 4) {
      case 0:
      case 1:
        if (!linear(a, b)) {
          uint32_t cells[] = {a, b, 9};
          table.AppendRow(cells);
        }
        break;
      case 2:
        if (table.row_count() > 0 && !linear(a, b)) {
          size_t row = random() % table.row_count();
          table.SetCell(row, random() % 2, random() % 2 ? a : b);
          table.SetCell(row, 2, a);  // non-key change
        }
        break;
      case 3:
        if (table.row_count() > 0) table.EraseRow(random() % table.row_count());
        break;
    }
    uint32_t key[] = {static_cast<uint32_t>(random() % 50 + 1),
                      static_cast<uint32_t>(random() % 20 + 0x8000u)};
    auto expected = linear(key[0], key[1]);
    auto found = table.FindByKey(key);
    // With a duplicate key (possible after a key update) any matching row is right.
    if (expected) {
      ASSERT_TRUE(found) << step;
      EXPECT_EQ(table.Cell(*found, 0), key[0]);
      EXPECT_EQ(table.Cell(*found, 1), key[1]);
    } else {
      EXPECT_FALSE(found) << step;
    }
  }
}

}  // namespace
}  // namespace mkx::engine
