// Hostile compound files: claims a file makes about itself never size what we write.
// Each case comes from a fuzzing finding (inputs under tests/fuzz_regressions/).

#include <gtest/gtest.h>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"

namespace mkx::compound {
namespace {

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

}  // namespace
}  // namespace mkx::compound
