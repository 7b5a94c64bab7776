// Reading real and generated databases, compared stream by stream with olefile.

#include <gtest/gtest.h>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"
#include "support/test_support.h"

namespace mkx::compound {
namespace {

using test::OleFileStreams;
using test::OpenOrFail;
using test::OurStreams;

void ExpectSameAsOleFile(const std::string& path) {
  SCOPED_TRACE(path);
  auto file = OpenOrFail(path);
  ASSERT_NE(file, nullptr);
  auto ours = OurStreams(*file);
  auto theirs = OleFileStreams(path);
  ASSERT_FALSE(theirs.empty());
  ASSERT_EQ(ours.size(), theirs.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i].name, theirs[i].name) << "stream " << i;
    EXPECT_TRUE(ours[i].data == theirs[i].data) << "stream " << i << " differs";
  }
}

TEST(CompoundReader, EveryFixtureMatchesOleFile) {
  std::vector<std::string> paths = mkx::test::AllFixtureDatabases();
  paths.push_back(mkx::test::RealFixture("WPF2_32.msp"));
  for (const auto& path : paths) {
    if (!mkx::test::FileExists(path)) {
      ADD_FAILURE() << "missing fixture " << path;
      continue;
    }
    ExpectSameAsOleFile(path);
  }
}

TEST(CompoundReader, LargeFileWithChainedDifat) {
  mkx::test::TempDir dir;
  auto built = mkx::test::Run({mkx::test::SharedDir() + "/tools/make-fixtures", dir.path(), "large"},
                              {"LARGE_MIB=16"});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  const std::string path = dir.File("large.msi");
  // 16 MiB needs more than 109 FAT sectors, so the DIFAT continues in sectors.
  auto bytes = mkx::test::ReadBytes(path);
  ASSERT_GT(bytes.size(), 16u << 20);
  EXPECT_GT(bytes[72] | (bytes[73] << 8), 0) << "expected chained DIFAT sectors";
  ExpectSameAsOleFile(path);

  // Ranged reads across sector boundaries agree with the whole-stream read.
  auto file = OpenOrFail(path);
  ASSERT_NE(file, nullptr);
  std::u16string large;
  for (const auto& e : file->RootEntries()) {
    if (e.size >= (16u << 20)) large = e.name;
  }
  ASSERT_FALSE(large.empty());
  auto whole = file->ReadStream(large);
  ASSERT_TRUE(whole.ok());
  for (uint64_t offset : {0ull, 511ull, 512ull, 4095ull, 1000000ull, (16ull << 20) - 7}) {
    std::vector<uint8_t> part(7);
    ASSERT_TRUE(file->ReadStreamRange(large, offset, part).ok()) << offset;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole->begin() + static_cast<ptrdiff_t>(offset)));
  }
  std::vector<uint8_t> past(8);
  EXPECT_EQ(file->ReadStreamRange(large, (16ull << 20) - 7, past).code(), result_code::kReadFault);
}

TEST(CompoundReader, RootEntriesAndLookup) {
  auto file = OpenOrFail(mkx::test::RealFixture("putty-0.68-installer.msi"));
  ASSERT_NE(file, nullptr);
  // .msi root CLSID 000C1084-0000-0000-C000-000000000046.
  const Clsid msi = {0x84, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  EXPECT_EQ(file->RootClsid(), msi);
  auto summary = file->FindStream(u"\x0005SummaryInformation");
  ASSERT_TRUE(summary.has_value());
  EXPECT_GT(summary->size, 0u);
  EXPECT_FALSE(file->FindStream(u"\x0005summaryinformation").has_value()) << "lookup is exact";
  EXPECT_EQ(file->ReadStream(u"NoSuchStream").code(), result_code::kFileNotFound);
}

TEST(CompoundReader, PatchSubStoragesAreListed) {
  auto file = OpenOrFail(mkx::test::RealFixture("WPF2_32.msp"));
  ASSERT_NE(file, nullptr);
  int storages = 0;
  for (const auto& e : file->RootEntries()) {
    if (e.kind == EntryKind::kStorage) {
      ++storages;
      EXPECT_FALSE(file->FindStream(e.name).has_value());
    }
  }
  EXPECT_GT(storages, 0);
}

}  // namespace
}  // namespace mkx::compound
