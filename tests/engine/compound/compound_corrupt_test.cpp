// Damaged and unusual files: every defect gives a clean error at open or at the read
// of the damaged stream; a short last sector and ignored size bits are tolerated.

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace mkx::compound {
namespace {

using test::MemoryFile;
using test::PatternBytes;

constexpr uint32_t kEnd = 0xFFFFFFFE;
constexpr uint32_t kFree = 0xFFFFFFFF;

/// A small version 3 file written by CompoundWriter, with helpers to damage it. It has
/// a single FAT sector and single-sector directory and mini FAT.
struct Raw {
  std::vector<uint8_t> b;

  uint32_t Get32(size_t at) const { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24); }
  void Put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put16(size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  static size_t Sector(uint32_t s) { return (static_cast<size_t>(s) + 1) * 512; }
  size_t FatAt(uint32_t s) const { return Sector(Get32(76)) + 4 * s; }
  uint32_t Fat(uint32_t s) const { return Get32(FatAt(s)); }
  void SetFat(uint32_t s, uint32_t v) { Put32(FatAt(s), v); }
  size_t MiniFatAt(uint32_t m) const { return Sector(Get32(60)) + 4 * m; }
  uint32_t FileSectors() const { return static_cast<uint32_t>(b.size() / 512 - 1); }
  /// Offset of directory entry `id` (follows the directory chain).
  size_t Entry(uint32_t id) const {
    uint32_t s = Get32(48);
    for (uint32_t i = 0; i < id / 4; ++i) s = Fat(s);
    return Sector(s) + 128 * (id % 4);
  }
  size_t EntryNamed(std::u16string_view name) const {
    for (uint32_t id = 0;; ++id) {
      size_t at = Entry(id);
      std::u16string n;
      const size_t name_bytes = b[at + 64] | (b[at + 65] << 8);
      for (size_t i = 0; i + 2 < name_bytes; i += 2) n.push_back(static_cast<char16_t>(b[at + i] | (b[at + i + 1] << 8)));
      if (n == name) return at;
    }
  }
  uint32_t Start(std::u16string_view name) const { return Get32(EntryNamed(name) + 116); }
  void SetSize(std::u16string_view name, uint32_t size) { Put32(EntryNamed(name) + 120, size); }
  /// The sectors of a regular stream's chain, in order.
  std::vector<uint32_t> Chain(std::u16string_view name) const {
    std::vector<uint32_t> chain{Start(name)};
    while (Fat(chain.back()) != 0xFFFFFFFE) chain.push_back(Fat(chain.back()));
    return chain;
  }
  /// Offset of the mini FAT entry of the last mini sector of a small stream.
  size_t LastMiniFatAt(std::u16string_view name) const {
    uint32_t m = Start(name);
    while (Get32(MiniFatAt(m)) != 0xFFFFFFFE) m = Get32(MiniFatAt(m));
    return MiniFatAt(m);
  }
  uint32_t RootChildEntry() const { return Get32(Entry(0) + 76); }
  /// Renames an entry in place, keeping its length and its place in the tree.
  void Rename(std::u16string_view from, std::u16string_view to) {
    const size_t at = EntryNamed(from);
    for (size_t i = 0; i < to.size(); ++i) Put16(at + 2 * i, to[i]);
  }
};

const std::vector<uint8_t> kSmall = PatternBytes(100, 1);
const std::vector<uint8_t> kBig = PatternBytes(10000, 2);
const std::vector<uint8_t> kOther = PatternBytes(5000, 3);
const std::vector<uint8_t> kTiny = PatternBytes(64, 4);

Raw MakeRaw() {
  CompoundWriter writer;
  writer.AddStream(u"Small", kSmall);
  writer.AddStream(u"Big", kBig);
  writer.AddStream(u"Other", kOther);
  writer.AddStream(u"Tiny", kTiny);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  MemoryFile out(bytes);
  EXPECT_TRUE(writer.WriteTo(out).ok());
  return Raw{*bytes};
}

enum class Outcome { kOpenFails, kReads };

struct CorruptCase {
  const char* label;
  std::function<void(Raw&)> damage;
  Outcome outcome;
  std::u16string stream;  // for kReads
  const char* reason = "";  // part of the reason open gives, when the case names one
};

std::vector<CorruptCase> Cases() {
  return {
      {"EmptyFile", [](Raw& r) { r.b.clear(); }, Outcome::kOpenFails, u""},
      {"ShorterThanHeader", [](Raw& r) { r.b.resize(300); }, Outcome::kOpenFails, u""},
      {"HeaderOnly", [](Raw& r) { r.b.resize(512); }, Outcome::kOpenFails, u""},
      {"TruncatedStructures", [](Raw& r) { r.b.resize(r.b.size() - 1024); }, Outcome::kOpenFails, u""},
      {"BadSignature", [](Raw& r) { r.b[3] = 0; }, Outcome::kOpenFails, u""},
      {"BadByteOrder", [](Raw& r) { r.Put16(28, 0xFEFF); }, Outcome::kOpenFails, u""},
      {"UnknownVersion", [](Raw& r) { r.Put16(26, 5); }, Outcome::kOpenFails, u""},
      {"SectorShiftNotMatchingVersion", [](Raw& r) { r.Put16(30, 12); }, Outcome::kOpenFails, u""},
      {"Version4With512ByteSectors", [](Raw& r) { r.Put16(26, 4); }, Outcome::kOpenFails, u""},
      {"BadMiniSectorShift", [](Raw& r) { r.Put16(32, 7); }, Outcome::kOpenFails, u""},
      {"BadMiniCutoff", [](Raw& r) { r.Put32(56, 8192); }, Outcome::kOpenFails, u""},
      {"HugeFatSectorCount", [](Raw& r) { r.Put32(44, 0x7FFFFFFF); }, Outcome::kOpenFails, u""},
      {"ZeroFatSectors", [](Raw& r) { r.Put32(44, 0); }, Outcome::kOpenFails, u""},
      {"FatSectorOutsideFile", [](Raw& r) { r.Put32(76, 100000); }, Outcome::kOpenFails, u""},
      {"DifatChainOutsideFile",
       [](Raw& r) {
         r.Put32(44, 110);  // claims a 110th FAT sector, listed in a DIFAT sector
         r.Put32(68, 5000);
         r.Put32(72, 1);
       },
       Outcome::kOpenFails, u""},
      {"DirectoryStartOutsideFile", [](Raw& r) { r.Put32(48, 99999); }, Outcome::kOpenFails, u""},
      {"DirectoryChainLoops", [](Raw& r) { r.SetFat(r.Get32(48), r.Get32(48)); }, Outcome::kOpenFails, u""},
      {"MiniFatChainLoops", [](Raw& r) { r.SetFat(r.Get32(60), r.Get32(60)); }, Outcome::kOpenFails, u""},
      {"FirstEntryNotRoot", [](Raw& r) { r.b[r.Entry(0) + 66] = 1; }, Outcome::kOpenFails, u""},
      {"DirectoryCycle",
       [](Raw& r) {
         const uint32_t top = r.RootChildEntry();
         r.Put32(r.Entry(top) + 68, top);
       },
       Outcome::kOpenFails, u""},
      {"DirectoryLinkOutOfRange",
       [](Raw& r) { r.Put32(r.Entry(r.RootChildEntry()) + 72, 1000); }, Outcome::kOpenFails, u""},
      {"DirectoryLinkToRoot", [](Raw& r) { r.Put32(r.Entry(r.RootChildEntry()) + 72, 0); },
       Outcome::kOpenFails, u""},
      {"BadNameLength", [](Raw& r) { r.Put16(r.EntryNamed(u"Big") + 64, 100); }, Outcome::kOpenFails, u""},
      {"HugeStreamSize", [](Raw& r) { r.Put32(r.EntryNamed(u"Big") + 120, 0xFFFFFF00); },
       Outcome::kOpenFails, u""},
      {"HugeMiniStreamSize", [](Raw& r) { r.Put32(r.Entry(0) + 120, 0xFFFFFF00); }, Outcome::kOpenFails, u""},
      // Every chain ends with end-of-chain at its declared length, and no sector or
      // mini sector belongs to two chains: anything else is refused at open.
      {"FatChainLoops", [](Raw& r) { r.SetFat(r.Fat(r.Start(u"Big")), r.Start(u"Big")); }, Outcome::kOpenFails, u"", "loops"},
      {"FatChainLeavesFile", [](Raw& r) { r.SetFat(r.Start(u"Big"), 5000); }, Outcome::kOpenFails, u"", "leaves the file"},
      {"FatChainTooShort", [](Raw& r) { r.SetFat(r.Start(u"Big"), kEnd); }, Outcome::kOpenFails, u"", "ends before its declared length"},
      {"FatChainTooLong", [](Raw& r) { r.SetSize(u"Big", 9000); }, Outcome::kOpenFails, u"", "longer than its declared length"},
      {"FatChainHitsFreeSector", [](Raw& r) { r.SetFat(r.Start(u"Big"), kFree); }, Outcome::kOpenFails, u"", "runs into a free sector"},
      {"FatChainFreeTail", [](Raw& r) { r.SetFat(r.Chain(u"Big").back(), kFree); }, Outcome::kOpenFails, u"", "longer than its declared length"},
      {"FatChainRunsIntoFatSector", [](Raw& r) { r.SetFat(r.Chain(u"Big")[18], r.Get32(76)); },
       Outcome::kOpenFails, u"", "already in use"},
      {"StreamsShareSectors", [](Raw& r) { r.Put32(r.EntryNamed(u"Other") + 116, r.Chain(u"Big")[10]); },
       Outcome::kOpenFails, u"", "already in use"},
      {"FatSectorNotMarked", [](Raw& r) { r.SetFat(r.Get32(76), kFree); }, Outcome::kOpenFails, u"", "FAT sector is not marked"},
      {"DirectoryFreeTail", [](Raw& r) { r.SetFat(r.Fat(r.Get32(48)), kFree); }, Outcome::kOpenFails, u"", "directory chain runs into a free sector"},
      {"MiniFatCountWrong", [](Raw& r) { r.Put32(64, 2); }, Outcome::kOpenFails, u"", "mini FAT chain"},
      {"DifatCountWrong", [](Raw& r) { r.Put32(72, 1); }, Outcome::kOpenFails, u"", "DIFAT chain does not end"},
      {"StreamStartOutsideFile", [](Raw& r) { r.Put32(r.EntryNamed(u"Other") + 116, 77777); },
       Outcome::kOpenFails, u"", "leaves the file"},
      {"MiniChainLoops", [](Raw& r) { r.Put32(r.MiniFatAt(r.Start(u"Small")), r.Start(u"Small")); },
       Outcome::kOpenFails, u"", "loops"},
      {"MiniChainOutsideMiniStream", [](Raw& r) { r.Put32(r.MiniFatAt(r.Start(u"Small")), 1000); },
       Outcome::kOpenFails, u"", "leaves the mini stream"},
      {"MiniChainFreeTail", [](Raw& r) { r.Put32(r.LastMiniFatAt(u"Small"), kFree); }, Outcome::kOpenFails, u"", "longer than its declared length"},
      {"MiniChainTooLong", [](Raw& r) { r.SetSize(u"Small", 60); }, Outcome::kOpenFails, u"", "longer than its declared length"},
      {"MiniStreamsShareSector",
       [](Raw& r) { r.Put32(r.EntryNamed(u"Tiny") + 116, r.Get32(r.MiniFatAt(r.Start(u"Small")))); },
       Outcome::kOpenFails, u"", "mini sector that is already in use"},
      {"MiniStreamTooShort", [](Raw& r) { r.Put32(r.Entry(0) + 120, 64); }, Outcome::kOpenFails, u"", "longer than the mini stream"},
      // Version 3 ignores the high half of the size field.
      // A reader that searches the tree and one that walks it would find different
      // streams, or none.
      {"RepeatedName", [](Raw& r) { r.Rename(u"Other", u"Small"); }, Outcome::kOpenFails, u"", "out of order or repeated"},
      {"NamesOutOfOrder", [](Raw& r) { r.Rename(u"Other", u"Zzzzz"); }, Outcome::kOpenFails, u"", "out of order or repeated"},
      {"HighSizeBitsIgnored", [](Raw& r) { r.Put32(r.EntryNamed(u"Big") + 124, 0xFFFF); }, Outcome::kReads,
       u"Big"},
  };
}

class CorruptFile : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptFile, GivesCleanError) {
  const CorruptCase& c = GetParam();
  Raw raw = MakeRaw();
  c.damage(raw);
  auto bytes = std::make_shared<std::vector<uint8_t>>(raw.b);
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(bytes, false));
  if (c.outcome == Outcome::kOpenFails) {
    EXPECT_EQ(cf.code(), result_code::kOpenFailed);
    if (!cf.ok()) {
      EXPECT_FALSE(cf.error().message_template.empty());
      const auto& fields = cf.error().fields;
      ASSERT_FALSE(fields.empty());
      EXPECT_NE(platform::Narrow(fields[0]).find(c.reason), std::string::npos) << platform::Narrow(fields[0]);
    }
    return;
  }
  ASSERT_TRUE(cf.ok()) << cf.code();
  auto whole = (*cf)->ReadStream(c.stream);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(*whole, c.stream == u"Big" ? kBig : c.stream == u"Small" ? kSmall : kOther);
}

INSTANTIATE_TEST_SUITE_P(Damage, CorruptFile, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CompoundShortLastSector, ReadsAndCommitsWhenTheFileEndsMidSector) {
  // Move the last sector of "Big" to a new sector at the end and cut the file right
  // after the stream's last byte.
  Raw raw = MakeRaw();
  std::vector<uint32_t> chain{raw.Start(u"Big")};
  while (raw.Fat(chain.back()) != kEnd) chain.push_back(raw.Fat(chain.back()));
  ASSERT_EQ(chain.size(), 20u);
  const uint32_t moved = raw.FileSectors();
  const uint32_t last = chain.back();
  raw.b.resize(Raw::Sector(moved) + 512);
  std::copy_n(raw.b.begin() + Raw::Sector(last), 512, raw.b.begin() + Raw::Sector(moved));
  raw.SetFat(chain[18], moved);
  raw.SetFat(moved, kEnd);
  raw.SetFat(last, kFree);
  raw.b.resize(Raw::Sector(moved) + (10000 - 19 * 512));

  auto bytes = std::make_shared<std::vector<uint8_t>>(raw.b);
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(bytes));
  ASSERT_TRUE(cf.ok()) << cf.code();
  EXPECT_EQ(*(*cf)->ReadStream(u"Big"), kBig);
  std::vector<uint8_t> tail(16);
  ASSERT_TRUE((*cf)->ReadStreamRange(u"Big", 10000 - 16, tail).ok());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), kBig.end() - 16));

  // A commit on such a file keeps "Big" and its short sector.
  const auto added = PatternBytes(7000, 9);
  std::vector<StreamChange> changes = {{u"Added", added}, {u"Small", std::nullopt}};
  ASSERT_TRUE((*cf)->Commit(changes).ok());
  auto reopened = CompoundFile::Open(std::make_unique<MemoryFile>(bytes, false));
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(*(*reopened)->ReadStream(u"Big"), kBig);
  EXPECT_EQ(*(*reopened)->ReadStream(u"Added"), added);
  EXPECT_EQ(*(*reopened)->ReadStream(u"Other"), kOther);
  EXPECT_FALSE((*reopened)->FindStream(u"Small").has_value());
}

// Claims mark a run of sectors a 64-bit word at a time. "Other" is pointed at the last
// 8 sectors of the 80-sector run of "Long", a word past its start, so that its chain
// ends where that run does: whichever is claimed first, only the shared sectors can
// refuse the file.
TEST(CompoundSharedSectors, FoundAWordIntoARun) {
  CompoundWriter writer;
  writer.AddStream(u"Long", PatternBytes(80 * 512, 5));
  writer.AddStream(u"Other", PatternBytes(8 * 512, 6));
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  MemoryFile out(bytes);
  ASSERT_TRUE(writer.WriteTo(out).ok());
  Raw raw{*bytes};
  const std::vector<uint32_t> chain = raw.Chain(u"Long");
  ASSERT_EQ(chain.back() - chain.front(), 79u) << "one run";
  ASSERT_NE(chain[72] / 64, chain[0] / 64);
  raw.Put32(raw.EntryNamed(u"Other") + 116, chain[72]);
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(std::make_shared<std::vector<uint8_t>>(raw.b)));
  ASSERT_FALSE(cf.ok());
  EXPECT_NE(platform::Narrow(cf.error().fields[0]).find("already in use"), std::string::npos);
}

// A version 4 size near 2^64 must not wrap to a chain of no sectors.
TEST(CompoundVersion4, SizeNearTwoToTheSixtyFourIsDamage) {
  std::vector<uint8_t> b = mkx::test::ReadBytes(mkx::test::RealFixture("msi_with_external_cab.msi"));
  ASSERT_EQ(b[26], 4);
  auto u32 = [&](size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24); };
  size_t entry = (static_cast<size_t>(u32(48)) + 1) * 4096 + 128;
  while (b[entry + 66] != 2) entry += 128;  // the first stream in the directory's first sector
  for (int i = 0; i < 4; ++i) b[entry + 116 + i] = 0xFF;
  b[entry + 116] = 0xFE;  // starts at end of chain
  for (int i = 0; i < 8; ++i) b[entry + 120 + i] = i == 0 ? 0xF0 : 0xFF;
  auto bytes = std::make_shared<std::vector<uint8_t>>(b);
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(bytes, false));
  EXPECT_EQ(cf.code(), result_code::kOpenFailed);
}

TEST(CompoundVersion4, CommitKeepsFourKilobyteSectors) {
  mkx::test::TempDir dir;
  const std::string path = dir.File("v4.msi");
  mkx::test::CopyFile(mkx::test::RealFixture("msi_with_external_cab.msi"), path);
  ASSERT_EQ(mkx::test::ReadBytes(path)[26], 4) << "fixture is version 4";
  auto before = test::OleFileStreams(path);
  auto cf = test::OpenOrFail(path, true);
  ASSERT_NE(cf, nullptr);
  std::vector<StreamChange> changes = {{u"NewBig", PatternBytes(9000, 4)}, {u"NewSmall", PatternBytes(33, 5)}};
  ASSERT_TRUE(cf->Commit(changes).ok());
  auto after = test::OleFileStreams(path);
  ASSERT_EQ(after.size(), before.size() + 2);
  auto reopened = test::OpenOrFail(path);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(test::OurStreams(*reopened).size(), after.size());
  for (const auto& s : after) {
    if (s.name == u"NewBig") {
      EXPECT_EQ(s.data, *changes[0].data);
    } else if (s.name == u"NewSmall") {
      EXPECT_EQ(s.data, *changes[1].data);
    }
  }
  EXPECT_EQ(mkx::test::ReadBytes(path)[26], 4);
}

}  // namespace
}  // namespace mkx::compound

namespace mkx::compound {
namespace {

TEST(CompoundRandomDamage, NeverCrashesOrHangs) {
  // Random bytes overwritten in the header, FAT, mini FAT and directory: every
  // outcome is allowed except a crash, a hang or an exception. Reads and a commit on
  // the damaged file must also end cleanly, and a commit that succeeds must leave a
  // file that opens with the streams it did not name intact.
  const Raw base = MakeRaw();
  const std::vector<size_t> hot = {0, 24, 26, 28, 30, 32, 44, 48, 56, 60, 68, 72, 76,
                                   base.FatAt(0), base.MiniFatAt(0), base.Entry(0), base.Entry(1),
                                   base.Entry(2), base.Entry(3)};
  uint32_t x = 12345;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  int opened = 0;
  int committed = 0;
  for (int round = 0; round < 3000; ++round) {
    Raw raw = base;
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = hot[next() % hot.size()] + next() % 128;
      if (at < raw.b.size()) raw.b[at] = static_cast<uint8_t>(next());
    }
    auto bytes = std::make_shared<std::vector<uint8_t>>(raw.b);
    auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(bytes));
    if (!cf.ok()) continue;
    ++opened;
    std::map<std::u16string, std::vector<uint8_t>> kept;
    for (const auto& entry : (*cf)->RootEntries()) {
      auto data = (*cf)->ReadStream(entry.name);
      if (data.ok() && entry.name != u"Big") kept.emplace(entry.name, std::move(*data));
    }
    if (!(*cf)->Commit(std::vector<StreamChange>{{u"Big", PatternBytes(700, 1)}, {u"New", PatternBytes(5000, 2)}}).ok()) {
      continue;
    }
    // A file that opened is sound, so the commit may only have used free sectors:
    // the result opens again and every stream it did not name reads as before.
    ++committed;
    auto reopened = CompoundFile::Open(std::make_unique<MemoryFile>(bytes, false));
    ASSERT_TRUE(reopened.ok()) << "round " << round << ": " << platform::Narrow(reopened.error().fields.at(0));
    for (const auto& [name, data] : kept) {
      auto now = (*reopened)->ReadStream(name);
      ASSERT_TRUE(now.ok()) << "round " << round;
      EXPECT_EQ(*now, data) << "round " << round;
    }
  }
  EXPECT_GT(opened, 100) << "the damage should leave many files openable";
  EXPECT_GT(committed, 50);
}

}  // namespace
}  // namespace mkx::compound
