// CompoundWriter: new files read back by our reader and by olefile.

#include <gtest/gtest.h>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"
#include "support/test_support.h"

namespace mkx::compound {
namespace {

using test::MemoryFile;
using test::PatternBytes;

std::u16string NameFor(size_t i) {
  std::u16string name = u"S";
  for (size_t n = i + 1; n > 0; n /= 26) name.push_back(static_cast<char16_t>(u'a' + n % 26));
  return name;
}

struct WriterCase {
  const char* label;
  std::vector<size_t> sizes;
};

class CompoundWriterTest : public ::testing::TestWithParam<WriterCase> {};

TEST_P(CompoundWriterTest, RoundTripsThroughOurReaderAndOleFile) {
  const Clsid clsid = {0x82, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  CompoundWriter writer;
  writer.SetRootClsid(clsid);
  std::vector<test::OracleStream> expected;
  for (size_t i = 0; i < GetParam().sizes.size(); ++i) {
    expected.push_back({NameFor(i), PatternBytes(GetParam().sizes[i], static_cast<uint32_t>(i))});
    writer.AddStream(expected.back().name, expected.back().data);
  }
  std::sort(expected.begin(), expected.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });

  auto bytes = std::make_shared<std::vector<uint8_t>>();
  test::FaultyFile out(std::make_unique<MemoryFile>(bytes));
  ASSERT_TRUE(writer.WriteTo(out).ok());
  EXPECT_GE(out.log()->syncs, 1);
  ASSERT_FALSE(out.log()->writes.empty());
  EXPECT_EQ(out.log()->writes.back().offset, 0u) << "the header is written last";
  EXPECT_EQ(bytes->size() % 512, 0u);

  auto reopened = CompoundFile::Open(std::make_unique<MemoryFile>(bytes, false));
  ASSERT_TRUE(reopened.ok()) << reopened.code();
  EXPECT_EQ((*reopened)->RootClsid(), clsid);
  auto ours = test::OurStreams(**reopened);
  ASSERT_EQ(ours.size(), expected.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i].name, expected[i].name);
    EXPECT_TRUE(ours[i].data == expected[i].data) << "stream " << i;
  }
  // Root children come back in directory order: the sibling tree's in-order walk.
  auto entries = (*reopened)->RootEntries();
  for (size_t i = 1; i < entries.size(); ++i) {
    EXPECT_LT(CompareEntryNames(entries[i - 1].name, entries[i].name), 0);
  }

  mkx::test::TempDir dir;
  mkx::test::WriteBytes(dir.File("out.cfb"), *bytes);
  auto theirs = test::OleFileStreams(dir.File("out.cfb"));
  ASSERT_EQ(theirs.size(), expected.size());
  for (size_t i = 0; i < theirs.size(); ++i) {
    EXPECT_EQ(theirs[i].name, expected[i].name);
    EXPECT_TRUE(theirs[i].data == expected[i].data) << "olefile, stream " << i;
  }
}

std::vector<size_t> ManySizes() {
  std::vector<size_t> sizes;
  for (size_t i = 0; i < 300; ++i) sizes.push_back((i * 7919) % 9000);
  return sizes;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CompoundWriterTest,
    ::testing::Values(WriterCase{"Empty", {}}, WriterCase{"ZeroBytes", {0}},
                      WriterCase{"Boundaries", {0, 1, 63, 64, 4095, 4096, 4097, 100000}},
                      WriterCase{"Many", ManySizes()},
                      // > 109 FAT sectors: 8 MiB of 512-byte sectors needs chained DIFAT.
                      WriterCase{"DifatChain", {8u << 20, 10}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CompoundWriter, CopyOfPuttyIsTheSameDatabase) {
  // Copy every stream of a real database into a new file; the installer-database
  // reader of msitools must see the same tables, streams and summary information.
  const std::string original = mkx::test::RealFixture("putty-0.68-installer.msi");
  auto source = test::OpenOrFail(original);
  ASSERT_NE(source, nullptr);
  CompoundWriter writer;
  writer.SetRootClsid(source->RootClsid());
  for (const auto& s : test::OurStreams(*source)) writer.AddStream(s.name, s.data);
  mkx::test::TempDir dir;
  const std::string copy = dir.File("copy.msi");
  {
    auto out = platform::OpenFile(copy, platform::FileMode::kCreateNew);
    ASSERT_TRUE(out.ok());
    ASSERT_TRUE(writer.WriteTo(**out).ok());
  }
  auto diff = mkx::test::Run({mkx::test::OraclePath(), "diff", original, copy});
  EXPECT_EQ(diff.exit_code, 0) << diff.out << diff.err;
}

TEST(CompoundWriter, RejectsBadNames) {
  for (const auto& names : std::vector<std::vector<std::u16string>>{
           {u"Same", u"Same"}, {u"Same", u"SAME"}, {std::u16string(32, u'n')}, {u""}}) {
    CompoundWriter writer;
    for (const auto& n : names) writer.AddStream(n, {1, 2, 3});
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    MemoryFile out(bytes);
    EXPECT_EQ(writer.WriteTo(out).code(), result_code::kInvalidParameter);
    EXPECT_TRUE(bytes->empty());
  }
}

TEST(CompareEntryNames, ShorterFirstThenUpperCased) {
  EXPECT_LT(CompareEntryNames(u"Z", u"AA"), 0);
  EXPECT_EQ(CompareEntryNames(u"abc", u"ABC"), 0);
  EXPECT_LT(CompareEntryNames(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareEntryNames(u"\x00e9", u"\x00c8"), 0);  // é upper-cases to É (> È)
  EXPECT_GT(CompareEntryNames(u"_", u"a"), 0);  // 'a' upper-cases to 0x41, below '_' (0x5F)
}

}  // namespace
}  // namespace mkx::compound
