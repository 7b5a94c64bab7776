// Damaged and unusual files: every defect gives a clean error at open or at the read
// of the damaged stream; a short last sector and ignored size bits are tolerated.

#include <gtest/gtest.h>

#include <functional>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"
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
  uint32_t RootChildEntry() const { return Get32(Entry(0) + 76); }
};

const std::vector<uint8_t> kSmall = PatternBytes(100, 1);
const std::vector<uint8_t> kBig = PatternBytes(10000, 2);
const std::vector<uint8_t> kOther = PatternBytes(5000, 3);

Raw MakeRaw() {
  CompoundWriter writer;
  writer.AddStream(u"Small", kSmall);
  writer.AddStream(u"Big", kBig);
  writer.AddStream(u"Other", kOther);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  MemoryFile out(bytes);
  EXPECT_TRUE(writer.WriteTo(out).ok());
  return Raw{*bytes};
}

enum class Outcome { kOpenFails, kReadFails, kReads };

struct CorruptCase {
  const char* label;
  std::function<void(Raw&)> damage;
  Outcome outcome;
  std::u16string stream;  // for kReadFails / kReads
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
      {"FatChainLoops",
       [](Raw& r) {
         const uint32_t s = r.Start(u"Big");
         r.SetFat(r.Fat(s), s);
       },
       Outcome::kReadFails, u"Big"},
      {"FatChainLeavesFile", [](Raw& r) { r.SetFat(r.Start(u"Big"), 5000); }, Outcome::kReadFails, u"Big"},
      {"FatChainTooShort", [](Raw& r) { r.SetFat(r.Start(u"Big"), kEnd); }, Outcome::kReadFails, u"Big"},
      {"FatChainHitsFreeSector", [](Raw& r) { r.SetFat(r.Start(u"Big"), kFree); }, Outcome::kReadFails, u"Big"},
      {"StreamStartOutsideFile", [](Raw& r) { r.Put32(r.EntryNamed(u"Other") + 116, 77777); },
       Outcome::kReadFails, u"Other"},
      {"MiniChainLoops",
       [](Raw& r) {
         const uint32_t m = r.Start(u"Small");
         r.Put32(r.MiniFatAt(m), m);
       },
       Outcome::kReadFails, u"Small"},
      {"MiniChainOutsideMiniStream", [](Raw& r) { r.Put32(r.MiniFatAt(r.Start(u"Small")), 1000); },
       Outcome::kReadFails, u"Small"},
      {"MiniStreamTooShort", [](Raw& r) { r.Put32(r.Entry(0) + 120, 64); }, Outcome::kReadFails, u"Small"},
      // Version 3 ignores the high half of the size field.
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
    }
    return;
  }
  ASSERT_TRUE(cf.ok()) << cf.code();
  auto whole = (*cf)->ReadStream(c.stream);
  std::vector<uint8_t> part(10);
  Status ranged = (*cf)->ReadStreamRange(c.stream, 0, part);
  if (c.outcome == Outcome::kReadFails) {
    EXPECT_EQ(whole.code(), result_code::kReadFault);
    EXPECT_EQ(ranged.code(), result_code::kReadFault);
    // Replacing the damaged stream works: its old sectors are left alone.
    {
      auto writable = std::make_shared<std::vector<uint8_t>>(raw.b);
      auto target = CompoundFile::Open(std::make_unique<MemoryFile>(writable));
      ASSERT_TRUE(target.ok());
      const auto fresh = PatternBytes(c.stream == u"Small" ? 50 : 6000, 7);
      ASSERT_TRUE((*target)->Commit(std::vector<StreamChange>{{c.stream, fresh}}).ok());
      auto reopened = CompoundFile::Open(std::make_unique<MemoryFile>(writable, false));
      ASSERT_TRUE(reopened.ok());
      EXPECT_EQ(*(*reopened)->ReadStream(c.stream), fresh);
      for (const auto& [name, data] : {std::pair{u"Small", kSmall}, {u"Big", kBig}, {u"Other", kOther}}) {
        if (name != c.stream) {
          EXPECT_EQ(*(*reopened)->ReadStream(name), data);
        }
      }
    }
    return;
  }
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
  // the damaged file must also end cleanly.
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
    for (const auto& entry : (*cf)->RootEntries()) {
      (void)(*cf)->ReadStream(entry.name);
    }
    (void)(*cf)->Commit(std::vector<StreamChange>{{u"Big", PatternBytes(700, 1)}, {u"New", PatternBytes(5000, 2)}});
    for (const auto& entry : (*cf)->RootEntries()) {
      (void)(*cf)->ReadStream(entry.name);
    }
  }
  EXPECT_GT(opened, 100) << "the damage should leave many files openable";
}

}  // namespace
}  // namespace mkx::compound
