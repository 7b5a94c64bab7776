// Hostile compound files: claims a file makes about itself never size what we write,
// and its layout never makes open read out of proportion to it. The first case comes
// from a fuzzing finding (inputs under tests/fuzz_regressions/).

#include <gtest/gtest.h>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"

namespace mkx::compound {
namespace {

using test::FaultyFile;
using test::MemoryFile;
using test::PatternBytes;

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A FAT that marks sectors far past the end of the file as used must not move the
// commit's appends out there: the file grows by what the commit writes, not by the
// distance to the last claimed sector.
TEST(CompoundHostileTest, FatClaimsPastTheEndDoNotPlaceAppends) {
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  {
    CompoundWriter writer;
    writer.AddStream(u"small", PatternBytes(700, 1));
    writer.AddStream(u"regular", PatternBytes(6000, 2));
    MemoryFile out(bytes);
    ASSERT_TRUE(writer.WriteTo(out).ok());
  }
  const size_t original = bytes->size();
  ASSERT_LT(original, 64u * 512u);
  // Version 3: one FAT sector of 128 entries; mark the last one as an end of chain.
  const uint32_t fat_sector = Get32(*bytes, 0x4C);
  Put32(*bytes, (fat_sector + 1) * 512 + 127 * 4, 0xFFFFFFFE);

  auto file = CompoundFile::Open(std::make_unique<MemoryFile>(bytes));
  ASSERT_TRUE(file.ok());
  const StreamChange change{u"added", PatternBytes(9000, 3)};
  ASSERT_TRUE((*file)->Commit(std::span(&change, 1)).ok());
  EXPECT_LT(bytes->size(), original + 40u * 512u) << "appended after the claimed sector 127";
  auto reread = (*file)->ReadStream(u"added");
  ASSERT_TRUE(reread.ok());
  EXPECT_EQ(*reread, PatternBytes(9000, 3));
}

// A chain that jumps between distant FAT sectors at every step costs open one FAT
// sector read per step, not a window of many: what open reads stays in proportion to
// the chain, however large the FAT. The stream still reads back in chain order.
TEST(CompoundHostileTest, ChainJumpingBetweenFatSectorsIsReadInProportion) {
  constexpr uint32_t kApart = 129 * 128;  // 129 FAT sectors: more than a 64 KiB window
  constexpr uint32_t kJumps = 4096;
  const auto data = PatternBytes(size_t{kApart + kJumps} * 512, 4);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  {
    CompoundWriter writer;
    writer.AddStream(u"Big", data);
    MemoryFile out(bytes);
    ASSERT_TRUE(writer.WriteTo(out).ok());
  }
  auto at = [](uint32_t sector) { return (size_t{sector} + 1) * 512; };
  auto fat_at = [&](uint32_t s) {  // FAT sectors past the header's 109 are in one DIFAT sector
    const uint32_t k = s / 128;
    return at(Get32(*bytes, k < 109 ? 76 + 4 * k : at(Get32(*bytes, 68)) + 4 * (k - 109))) + 4 * (s % 128);
  };
  const size_t start_at = at(Get32(*bytes, 48)) + 128 + 116;  // entry 1, the stream
  std::vector<uint32_t> chain{Get32(*bytes, start_at)};
  while (chain.size() < kApart + kJumps) chain.push_back(Get32(*bytes, fat_at(chain.back())));
  ASSERT_EQ(Get32(*bytes, fat_at(chain.back())), 0xFFFFFFFEu);
  // Sectors i and kApart + i alternate for the first kJumps of each, the rest in order.
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < kJumps; ++i) order.insert(order.end(), {i, kApart + i});
  for (uint32_t i = kJumps; i < kApart; ++i) order.push_back(i);
  std::vector<uint32_t> jumping;
  std::vector<uint8_t> expected;
  for (uint32_t j : order) {
    jumping.push_back(chain[j]);
    expected.insert(expected.end(), data.begin() + j * 512, data.begin() + (j + 1) * 512);
  }
  Put32(*bytes, start_at, jumping[0]);
  for (size_t i = 0; i < jumping.size(); ++i) {
    Put32(*bytes, fat_at(jumping[i]), i + 1 < jumping.size() ? jumping[i + 1] : 0xFFFFFFFE);
  }

  auto faulty = std::make_unique<FaultyFile>(std::make_unique<MemoryFile>(bytes));
  auto log = faulty->log();
  auto file = CompoundFile::Open(std::move(faulty));
  ASSERT_TRUE(file.ok());
  EXPECT_LT(log->bytes_read, 2 * bytes->size()) << "open re-read FAT windows";
  auto read = (*file)->ReadStream(u"Big");
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(*read == expected);
}

}  // namespace
}  // namespace mkx::compound
