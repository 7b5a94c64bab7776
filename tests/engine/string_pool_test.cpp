#include "engine/string_pool.h"

#include <gtest/gtest.h>

namespace mkx::engine {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> PoolEntries(uint32_t header, std::initializer_list<uint16_t> fields) {
  std::vector<uint8_t> out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(header >> (8 * i)));
  for (uint16_t f : fields) {
    out.push_back(static_cast<uint8_t>(f & 0xFF));
    out.push_back(static_cast<uint8_t>(f >> 8));
  }
  return out;
}

TEST(StringPoolTest, LoadsSlotsUnusedEntriesAndLongStrings) {
  std::string long_string(70000, 'x');
  // 1 unused, 2 "abc", 3 long (70000 = 0x1'1170), 4 "de".
  auto pool_stream = PoolEntries(0x800004E4u, {0, 0, 3, 9, 0, 1, 0x1170, 5, 2, 1});
  auto data = Bytes("abc" + long_string + "de");
  auto pool = StringPool::Load(pool_stream, data);
  ASSERT_TRUE(pool.ok());
  EXPECT_EQ(pool->codepage(), 1252u);
  EXPECT_TRUE(pool->long_refs());
  EXPECT_EQ(pool->ref_width(), 3u);
  EXPECT_EQ(pool->slot_count(), 5u);
  EXPECT_EQ(pool->Bytes(1), "");
  EXPECT_EQ(pool->Bytes(2), "abc");
  EXPECT_EQ(pool->Bytes(3), long_string);
  EXPECT_EQ(pool->Bytes(4), "de");
  EXPECT_EQ(pool->Bytes(99), "");
  EXPECT_EQ(pool->FindBytes("de"), 4u);
  EXPECT_EQ(pool->FindText(u"abc"), 2u);
  EXPECT_EQ(pool->FindBytes("zz"), 0u);
  // The slot stored unused (1) is not filled: new strings go at the end.
  EXPECT_EQ(pool->InternText(u"new"), 5u);
  EXPECT_EQ(pool->InternText(u"newer"), 6u);
  EXPECT_EQ(pool->InternText(u"abc"), 2u);
  EXPECT_EQ(pool->InternText(u""), 0u);
  pool->InternBytes("??");
  EXPECT_EQ(pool->FindText(u"\u65e5\u672c"), 0u);  // not "??": 1252 cannot hold it
  EXPECT_EQ(pool->FindText(u"caf\u00e9"), 0u);
  const uint32_t cafe = pool->InternBytes("caf\xE9");
  EXPECT_EQ(pool->FindText(u"caf\u00e9"), cafe);
}

TEST(StringPoolTest, RejectsInconsistentStreams) {
  struct Case {
    const char* what;
    std::vector<uint8_t> pool;
    std::vector<uint8_t> data;
  } cases[] = {
      {"short header", {0xE4, 0x04}, {}},
      {"ragged entries", {0, 0, 0, 0, 3, 0}, Bytes("abc")},
      {"lengths past data", PoolEntries(0, {4, 1}), Bytes("abc")},
      {"cut long entry", PoolEntries(0, {0, 1}), Bytes("abc")},
      {"codepage the system cannot convert", PoolEntries(12345, {3, 1}), Bytes("abc")},
      // Other readers take these for unused slots.
      {"text with a count of 0", PoolEntries(0, {2, 1, 1, 0}), Bytes("abc")},
      {"long text with a count of 0", PoolEntries(0, {0, 1, 0, 0}), std::vector<uint8_t>(65536, 'x')},
  };
  for (const Case& c : cases) {
    auto pool = StringPool::Load(c.pool, c.data);
    EXPECT_FALSE(pool.ok()) << c.what;
  }
}

TEST(StringPoolTest, SerializeRoundTripsAndDropsUnusedSlots) {
  StringPool pool(65001);
  std::string long_string(65536, 'L');
  uint32_t a = pool.InternText(u"alpha");
  uint32_t gone = pool.InternText(u"unused");
  uint32_t big = pool.InternBytes(long_string);
  uint32_t b = pool.InternText(u"\u00e9t\u00e9");
  uint32_t tail = pool.InternText(u"tail unused");
  std::vector<uint32_t> counts(pool.slot_count(), 0);
  counts[a] = 2;
  counts[big] = 1;
  counts[b] = 70000;  // saturates in the 16-bit field
  pool.set_long_refs(true);
  std::vector<uint8_t> pool_stream, data_stream;
  pool.Serialize(counts, pool_stream, data_stream);
  // header + a + unused + long (two entries) + b; the unused tail is dropped.
  ASSERT_EQ(pool_stream.size(), 4u + 4 * 5);
  EXPECT_EQ(pool_stream[3], 0x80);
  EXPECT_EQ(pool_stream[0], 0xE9);
  EXPECT_EQ(pool_stream[1], 0xFD);
  EXPECT_EQ(data_stream.size(), 5 + long_string.size() + 5);

  auto loaded = StringPool::Load(pool_stream, data_stream);
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(loaded->slot_count(), tail);  // tail slot gone
  EXPECT_EQ(loaded->Text(a), u"alpha");
  EXPECT_EQ(loaded->Bytes(gone), "");
  EXPECT_EQ(loaded->Bytes(big), long_string);
  EXPECT_EQ(loaded->Text(b), u"\u00e9t\u00e9");
  EXPECT_TRUE(loaded->long_refs());
  EXPECT_EQ(loaded->codepage(), 65001u);
}

TEST(StringPoolTest, SerializeMixesLoadedAndAddedStringsInSlotOrder) {
  // Loaded strings 1..5; 2 and 4 lose their references and two new strings take
  // their slots (their bytes live apart from the loaded ones). Written
  // back, every slot must hold its own bytes, whatever buffer they came from.
  auto loaded = StringPool::Load(PoolEntries(1252, {3, 1, 2, 1, 5, 1, 1, 1, 4, 1}),
                                 Bytes("onetwthreexfive"));
  ASSERT_TRUE(loaded.ok());
  StringPool pool = std::move(loaded).value();
  std::vector<uint32_t> counts = {0, 1, 0, 1, 0, 1};
  pool.Release(counts);
  EXPECT_EQ(pool.InternText(u"NEW"), 2u);
  EXPECT_EQ(pool.InternText(u"last"), 4u);
  counts = {0, 1, 1, 1, 1, 1};
  std::vector<uint8_t> pool_stream, data_stream;
  pool.Serialize(counts, pool_stream, data_stream);
  EXPECT_EQ(std::string(data_stream.begin(), data_stream.end()), "oneNEWthreelastfive");
  auto back = StringPool::Load(pool_stream, data_stream);
  ASSERT_TRUE(back.ok());
  const char* expected[] = {"", "one", "NEW", "three", "last", "five"};
  ASSERT_EQ(back->slot_count(), 6u);
  for (uint32_t id = 0; id < 6; ++id) EXPECT_EQ(back->Bytes(id), expected[id]) << id;
}

TEST(StringPoolTest, ReleaseFreesAndTrimsSlots) {
  StringPool pool;
  for (int i = 0; i < 6; ++i) pool.InternText(u"s" + std::u16string(1, u'0' + i));
  // Keep ids 1, 3 and 4; 2, 5 and 6 are unreferenced.
  std::vector<uint32_t> counts = {0, 1, 0, 1, 1, 0, 0};
  pool.Release(counts);
  EXPECT_EQ(pool.slot_count(), 5u);
  EXPECT_EQ(pool.FindText(u"s1"), 0u);
  EXPECT_EQ(pool.FindText(u"s2"), 3u);
  EXPECT_EQ(pool.InternText(u"fresh"), 2u);
  EXPECT_EQ(pool.InternText(u"s1"), 5u);
  // Copies keep working lookups (the index holds ids, not pointers).
  StringPool copy = pool;
  pool = StringPool();
  EXPECT_EQ(copy.FindText(u"fresh"), 2u);
}

TEST(StringPoolTest, LookupsStayExactOnceTheIndexIsBuiltAndGrown) {
  // Interning well past the index's first capacity, with a string held twice (the
  // lower id wins) and a release in between that drops the index.
  StringPool pool;
  const uint32_t twin = pool.InternBytes("twin");
  std::vector<uint32_t> ids;
  for (int i = 0; i < 3000; ++i) {
    const std::string s = "string " + std::to_string(i);
    ids.push_back(pool.InternBytes(s));
    ASSERT_EQ(pool.FindBytes(s), ids.back()) << s;
    ASSERT_EQ(pool.InternBytes(s), ids.back()) << "interned twice: " << s;
  }
  for (int i = 0; i < 3000; i += 7) EXPECT_EQ(pool.FindBytes("string " + std::to_string(i)), ids[i]);
  EXPECT_EQ(pool.FindBytes("string 3000"), 0u);
  EXPECT_EQ(pool.FindBytes("twin"), twin);

  // Interning a string whose bytes are a view into the pool itself.
  const std::string_view own = pool.Bytes(ids[5]);
  EXPECT_EQ(pool.InternBytes(own), ids[5]);

  // Release everything but the even strings; freed slots are reused, lookups exact.
  std::vector<uint32_t> counts(pool.slot_count(), 0);
  for (int i = 0; i < 3000; i += 2) counts[ids[i]] = 1;
  pool.Release(counts);
  for (int i = 0; i < 3000; ++i) {
    EXPECT_EQ(pool.FindBytes("string " + std::to_string(i)), i % 2 == 0 ? ids[i] : 0u) << i;
  }
  EXPECT_EQ(pool.FindBytes("twin"), 0u);
  const uint32_t reused = pool.InternBytes("after release");
  EXPECT_EQ(reused, twin) << "the lowest free slot is reused first";
  EXPECT_EQ(pool.FindBytes("after release"), reused);
  EXPECT_EQ(pool.Bytes(reused), "after release");
}

}  // namespace
}  // namespace mkx::engine
