// In-place commit: results checked with olefile, plus the commit invariants: untouched
// streams keep their sectors and bytes, nothing the previous state uses is written
// before the header, the header is written last, a crash at any write leaves the
// previous state readable, and the cost follows the changed data.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/compound/compound_file.h"
#include "engine/compound/test_files.h"
#include "support/test_support.h"

namespace mkx::compound {
namespace {

using test::FaultyFile;
using test::MemoryFile;
using test::OracleStream;
using test::PatternBytes;

constexpr uint32_t kFree = 0xFFFFFFFF;

/// Streams of putty picked for the cases by their size class.
struct Picks {
  std::u16string small;   // in the mini stream
  std::u16string small2;
  std::u16string big;     // in regular sectors
  std::u16string big2;
};

Picks PickStreams(const CompoundFile& file) {
  Picks p;
  for (const EntryInfo& e : file.RootEntries()) {
    if (e.kind != EntryKind::kStream) continue;
    if (e.size > 100 && e.size < 4096) (p.small.empty() ? p.small : p.small2) = e.name;
    if (e.size > 20000 && e.size < 1000000) (p.big.empty() ? p.big : p.big2) = e.name;
  }
  return p;
}

std::vector<uint8_t> Bytes(size_t size, uint32_t seed) { return PatternBytes(size, seed); }

struct CommitCase {
  const char* label;
  std::function<std::vector<StreamChange>(const Picks&)> changes;
};

std::vector<CommitCase> Cases() {
  return {
      {"ChangeSmall", [](const Picks& p) { return std::vector<StreamChange>{{p.small, Bytes(300, 1)}}; }},
      {"GrowSmallPastCutoff",
       [](const Picks& p) { return std::vector<StreamChange>{{p.small, Bytes(10000, 2)}}; }},
      {"ShrinkBigIntoMiniStream",
       [](const Picks& p) { return std::vector<StreamChange>{{p.big, Bytes(100, 3)}}; }},
      {"ShrinkBigStaysBig",
       [](const Picks& p) { return std::vector<StreamChange>{{p.big, Bytes(5000, 4)}}; }},
      {"GrowBig", [](const Picks& p) { return std::vector<StreamChange>{{p.big, Bytes(300000, 5)}}; }},
      {"AddStreams",
       [](const Picks&) {
         return std::vector<StreamChange>{{u"NewSmall", Bytes(700, 6)}, {u"NewBig", Bytes(20000, 7)},
                                          {u"NewEmpty", std::vector<uint8_t>{}}};
       }},
      {"DeleteStreams",
       [](const Picks& p) { return std::vector<StreamChange>{{p.small, std::nullopt}, {p.big, std::nullopt}}; }},
      {"DeleteMissingIsNoOp",
       [](const Picks&) { return std::vector<StreamChange>{{u"NotThere", std::nullopt}}; }},
      {"Mixed",
       [](const Picks& p) {
         return std::vector<StreamChange>{{p.small, std::nullopt},
                                          {p.small2, Bytes(5000, 8)},
                                          {p.big2, Bytes(64, 9)},
                                          {u"Added", Bytes(4096, 10)}};
       }},
  };
}

/// The streams expected after applying `changes` to `before`.
std::vector<OracleStream> Apply(std::vector<OracleStream> before, const std::vector<StreamChange>& changes) {
  std::map<std::u16string, std::vector<uint8_t>> m;
  for (auto& s : before) m[s.name] = std::move(s.data);
  for (const auto& c : changes) {
    if (c.data) m[c.name] = *c.data;
    else m.erase(c.name);
  }
  std::vector<OracleStream> out;
  for (auto& [name, data] : m) out.push_back({name, std::move(data)});
  return out;
}

void ExpectStreams(const std::vector<OracleStream>& actual, const std::vector<OracleStream>& expected,
                   const std::string& who) {
  ASSERT_EQ(actual.size(), expected.size()) << who;
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].name, expected[i].name) << who << " stream " << i;
    EXPECT_TRUE(actual[i].data == expected[i].data) << who << " stream " << i << " content differs";
  }
}

std::unique_ptr<CompoundFile> OpenMemory(std::shared_ptr<std::vector<uint8_t>> bytes) {
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(std::move(bytes), false));
  EXPECT_TRUE(cf.ok()) << cf.code();
  return cf.ok() ? std::move(*cf) : nullptr;
}

class CommitOnPutty : public ::testing::TestWithParam<CommitCase> {};

TEST_P(CommitOnPutty, KeepsInvariantsAndMatchesOleFile) {
  mkx::test::TempDir dir;
  const std::string path = dir.File("db.msi");
  mkx::test::CopyFile(mkx::test::RealFixture("putty-0.68-installer.msi"), path);
  const auto before_bytes = mkx::test::ReadBytes(path);
  const auto before_streams = test::OleFileStreams(path);
  const auto before_layout = test::OleFileLayout(path);
  const uint64_t old_sectors = (before_bytes.size() - 1) / 512;  // excluding the header

  auto posix = platform::OpenFile(path, platform::FileMode::kReadWrite);
  ASSERT_TRUE(posix.ok());
  auto faulty = std::make_unique<FaultyFile>(std::move(*posix));
  auto log = faulty->log();
  auto opened = CompoundFile::Open(std::move(faulty));
  ASSERT_TRUE(opened.ok());
  CompoundFile& cf = **opened;
  const Picks picks = PickStreams(cf);
  ASSERT_FALSE(picks.small2.empty());
  ASSERT_FALSE(picks.big2.empty());
  const auto changes = GetParam().changes(picks);
  ASSERT_TRUE(cf.Commit(changes).ok());

  const auto expected = Apply(before_streams, changes);
  ExpectStreams(test::OleFileStreams(path), expected, "olefile");
  ExpectStreams(test::OurStreams(cf), expected, "same object");
  ExpectStreams(test::OurStreams(*test::OpenOrFail(path)), expected, "reopened");

  const auto after_bytes = mkx::test::ReadBytes(path);
  std::map<std::u16string, bool> named;
  for (const auto& c : changes) named[c.name] = true;
  if (log->writes.empty()) {
    EXPECT_EQ(after_bytes, before_bytes) << "nothing to do must write nothing";
    return;
  }

  // Untouched regular-sector streams keep their chains and their bytes.
  const auto after_layout = test::OleFileLayout(path);
  for (const auto& [name, chain] : before_layout.chains) {
    if (named.count(name)) continue;
    ASSERT_TRUE(after_layout.chains.count(name));
    EXPECT_EQ(after_layout.chains.at(name), chain);
    for (uint32_t s : chain) {
      const size_t at = (static_cast<size_t>(s) + 1) * 512;
      const size_t n = std::min<size_t>(512, before_bytes.size() - at);
      EXPECT_TRUE(std::equal(before_bytes.begin() + at, before_bytes.begin() + at + n, after_bytes.begin() + at));
    }
  }

  // Every write but the last goes to sectors free in the previous state or appended;
  // the last is the header.
  for (size_t i = 0; i + 1 < log->writes.size(); ++i) {
    const auto& w = log->writes[i];
    ASSERT_GE(w.offset, 512u);
    for (uint64_t s = w.offset / 512 - 1; s < (w.offset + w.size + 511) / 512 - 1; ++s) {
      const bool free = s >= old_sectors || s >= before_layout.fat.size() || before_layout.fat[s] == kFree;
      EXPECT_TRUE(free) << "write " << i << " overwrites sector " << s << " of the previous state";
    }
  }
  EXPECT_EQ(log->writes.back().offset, 0u);
  EXPECT_EQ(log->writes.back().size, 512u);
  EXPECT_GE(log->syncs, 2);

  // The cost follows the change: new data, the mini stream, directory and a few
  // FAT sectors; the file grows by at most what was written.
  uint64_t data = 0;
  for (const auto& c : changes) data += c.data ? (c.data->size() + 511) / 512 * 512 : 0;
  EXPECT_LE(log->bytes_written, data + 64 * 1024);
  EXPECT_LE(after_bytes.size() - before_bytes.size(), log->bytes_written);

  // The sectors the previous state used are free now, so committing the same change
  // again and again stops growing the file.
  ASSERT_TRUE(cf.Commit(changes).ok());
  ASSERT_TRUE(cf.Commit(changes).ok());
  const uint64_t settled = mkx::test::ReadBytes(path).size();
  ASSERT_TRUE(cf.Commit(changes).ok());
  EXPECT_EQ(mkx::test::ReadBytes(path).size(), settled);
  ExpectStreams(test::OleFileStreams(path), expected, "olefile after repeated commits");
}

INSTANTIATE_TEST_SUITE_P(Changes, CommitOnPutty, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CompoundCommit, CrashAtEveryWriteLeavesPreviousStateReadable) {
  const auto original = mkx::test::ReadBytes(mkx::test::RealFixture("putty-0.68-installer.msi"));
  const auto before = test::OurStreams(*OpenMemory(std::make_shared<std::vector<uint8_t>>(original)));
  Picks picks = PickStreams(*OpenMemory(std::make_shared<std::vector<uint8_t>>(original)));
  const std::vector<StreamChange> changes = {
      {picks.small, Bytes(2000, 11)}, {picks.big, std::nullopt}, {u"Fresh", Bytes(30000, 12)}};
  const auto expected = Apply(before, changes);

  // Count the writes of a commit that succeeds.
  int64_t total = 0;
  {
    auto bytes = std::make_shared<std::vector<uint8_t>>(original);
    auto faulty = std::make_unique<FaultyFile>(std::make_unique<MemoryFile>(bytes));
    auto log = faulty->log();
    auto cf = CompoundFile::Open(std::move(faulty));
    ASSERT_TRUE(cf.ok());
    ASSERT_TRUE((*cf)->Commit(changes).ok());
    total = static_cast<int64_t>(log->writes.size());
    ExpectStreams(test::OurStreams(*OpenMemory(bytes)), expected, "after the full commit");
  }
  ASSERT_GT(total, 2);

  for (int64_t allowed = 0; allowed < total; ++allowed) {
    SCOPED_TRACE("crash after " + std::to_string(allowed) + " writes");
    auto bytes = std::make_shared<std::vector<uint8_t>>(original);
    auto cf = CompoundFile::Open(std::make_unique<FaultyFile>(std::make_unique<MemoryFile>(bytes), allowed));
    ASSERT_TRUE(cf.ok());
    EXPECT_FALSE((*cf)->Commit(changes).ok());
    ExpectStreams(test::OurStreams(*OpenMemory(bytes)), before, "file after the crash");
    ExpectStreams(test::OurStreams(**cf), before, "object after the failed commit");
  }
}

TEST(CompoundCommit, ReadOnlyFileFailsAndWritesNothing) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(
      mkx::test::ReadBytes(mkx::test::RealFixture("putty-0.68-installer.msi")));
  const auto original = *bytes;
  auto faulty = std::make_unique<FaultyFile>(std::make_unique<MemoryFile>(bytes, false));
  auto log = faulty->log();
  auto cf = CompoundFile::Open(std::move(faulty));
  ASSERT_TRUE(cf.ok());
  std::vector<StreamChange> changes = {{u"X", Bytes(10, 1)}};
  EXPECT_EQ((*cf)->Commit(changes).code(), result_code::kFunctionFailed);
  EXPECT_TRUE(log->writes.empty());
  EXPECT_EQ(*bytes, original);
}

TEST(CompoundCommit, RejectsBadChanges) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(
      mkx::test::ReadBytes(mkx::test::RealFixture("WPF2_32.msp")));
  const auto original = *bytes;
  auto cf = CompoundFile::Open(std::make_unique<MemoryFile>(bytes));
  ASSERT_TRUE(cf.ok());
  std::u16string storage;
  for (const auto& e : (*cf)->RootEntries()) {
    if (e.kind == EntryKind::kStorage) storage = e.name;
  }
  ASSERT_FALSE(storage.empty());
  const std::vector<std::vector<StreamChange>> bad = {
      {{u"", Bytes(1, 1)}},
      {{std::u16string(32, u'x'), Bytes(1, 1)}},
      {{u"Twice", Bytes(1, 1)}, {u"Twice", std::nullopt}},
      {{storage, Bytes(1, 1)}},
      {{storage, std::nullopt}},
      {{u"SameName", Bytes(1, 1)}, {u"SAMENAME", Bytes(1, 1)}},  // equal under the ordering
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ((*cf)->Commit(bad[i]).code(), result_code::kInvalidParameter) << "case " << i;
  }
  EXPECT_EQ(*bytes, original);
}

TEST(CompoundCommit, PatchSubStoragesSurviveCommit) {
  mkx::test::TempDir dir;
  const std::string path = dir.File("p.msp");
  mkx::test::CopyFile(mkx::test::RealFixture("WPF2_32.msp"), path);
  auto before = test::OleFileStreams(path);
  auto cf = test::OpenOrFail(path, true);
  ASSERT_NE(cf, nullptr);
  std::vector<StreamChange> changes = {{u"AddedToPatch", Bytes(5000, 3)}};
  ASSERT_TRUE(cf->Commit(changes).ok());
  ExpectStreams(test::OleFileStreams(path), Apply(before, changes), "olefile");
  // Every stream of every sub-storage still reads the same (olefile walks them all).
  auto listing = mkx::test::Run({"/usr/bin/python3", "-c",
                                 "import olefile,sys,hashlib\n"
                                 "o=olefile.OleFileIO(sys.argv[1])\n"
                                 "for p in sorted(o.listdir()):\n"
                                 "  print('/'.join(p), hashlib.sha256(o.openstream(p).read()).hexdigest())\n",
                                 path});
  auto original = mkx::test::Run({"/usr/bin/python3", "-c",
                                  "import olefile,sys,hashlib\n"
                                  "o=olefile.OleFileIO(sys.argv[1])\n"
                                  "for p in sorted(o.listdir()):\n"
                                  "  print('/'.join(p), hashlib.sha256(o.openstream(p).read()).hexdigest())\n",
                                  mkx::test::RealFixture("WPF2_32.msp")});
  ASSERT_EQ(listing.exit_code, 0) << listing.err;
  ASSERT_EQ(original.exit_code, 0) << original.err;
  EXPECT_NE(listing.out.find("/"), std::string::npos) << "sub-storage streams listed";
  // The new stream is the only difference.
  std::string without_added;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("AddedToPatch ", 0) != 0) without_added += line + "\n";
  }
  EXPECT_EQ(without_added, original.out);
}

TEST(CompoundCommit, OneStreamChangeToLargeFileIsCheap) {
  mkx::test::TempDir dir;
  const std::string path = dir.File("large.cfb");
  const size_t large_size = size_t{256} << 20;
  const auto expected_large = Bytes(large_size, 21);
  {
    CompoundWriter writer;
    writer.AddStream(u"Large", expected_large);
    writer.AddStream(u"Small", Bytes(1000, 22));
    writer.AddStream(u"Medium", Bytes(50000, 23));
    auto out = platform::OpenFile(path, platform::FileMode::kCreateNew);
    ASSERT_TRUE(out.ok());
    ASSERT_TRUE(writer.WriteTo(**out).ok());
  }
  const uint64_t size_before = std::filesystem::file_size(path);

  auto posix = platform::OpenFile(path, platform::FileMode::kReadWrite);
  ASSERT_TRUE(posix.ok());
  auto faulty = std::make_unique<FaultyFile>(std::move(*posix));
  auto log = faulty->log();
  auto cf = CompoundFile::Open(std::move(faulty));
  ASSERT_TRUE(cf.ok());
  const uint64_t read_at_open = log->bytes_read;
  std::vector<StreamChange> changes = {{u"Small", Bytes(1200, 24)}, {u"Medium", Bytes(60000, 25)}};
  ASSERT_TRUE((*cf)->Commit(changes).ok());

  // Open reads the FAT (4 bytes per 512) and little else; the commit writes the new
  // data, mini stream, directory, a few FAT sectors and the DIFAT (32 sectors here,
  // rewritten whole when a FAT sector it lists moves).
  EXPECT_LT(read_at_open, size_before / 100);
  EXPECT_LT(log->bytes_written, 60000u + 48 * 1024);
  EXPECT_EQ(std::filesystem::file_size(path) - size_before, log->bytes_written - 512)
      << "everything but the header was appended or placed in free sectors";

  auto reopened = test::OpenOrFail(path);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(*reopened->ReadStream(u"Small"), *changes[0].data);
  EXPECT_EQ(*reopened->ReadStream(u"Medium"), *changes[1].data);
  for (uint64_t offset : {uint64_t{0}, uint64_t{123457}, uint64_t{large_size - 4096}}) {
    std::vector<uint8_t> part(4096);
    ASSERT_TRUE(reopened->ReadStreamRange(u"Large", offset, part).ok());
    EXPECT_TRUE(std::equal(part.begin(), part.end(), expected_large.begin() + static_cast<ptrdiff_t>(offset)));
  }
}

}  // namespace
}  // namespace mkx::compound
