// Commit logic over an in-memory overlay of a real file: which streams a commit
// writes, and what happens when the file refuses the write.
#include <gtest/gtest.h>

#include <map>

#include "engine/database.h"
#include "engine/stream_name.h"
#include "platform/file.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using Overlay = std::map<std::u16string, std::optional<std::vector<uint8_t>>, std::less<>>;

/// Reads through to a real compound file, except for streams a commit replaced.
class OverlayFile : public compound::CompoundFile {
 public:
  OverlayFile(std::unique_ptr<compound::CompoundFile> base, std::shared_ptr<Overlay> overlay)
      : base_(std::move(base)), overlay_(std::move(overlay)) {}

  const compound::Clsid& RootClsid() const override { return base_->RootClsid(); }
  std::vector<compound::EntryInfo> RootEntries() const override {
    std::vector<compound::EntryInfo> out;
    for (auto& e : base_->RootEntries()) {
      if (!overlay_->count(e.name)) out.push_back(e);
    }
    for (auto& [name, data] : *overlay_) {
      if (data) out.push_back({name, compound::EntryKind::kStream, data->size(), {}});
    }
    return out;
  }
  std::optional<compound::EntryInfo> FindStream(std::u16string_view name) const override {
    auto it = overlay_->find(name);
    if (it == overlay_->end()) return base_->FindStream(name);
    if (!it->second) return std::nullopt;
    return compound::EntryInfo{it->first, compound::EntryKind::kStream, it->second->size(), {}};
  }
  Result<std::vector<uint8_t>> ReadStream(std::u16string_view name) const override {
    auto it = overlay_->find(name);
    if (it == overlay_->end()) return base_->ReadStream(name);
    if (!it->second) return Error(result_code::kReadFault);
    return *it->second;
  }
  Status ReadStreamRange(std::u16string_view name, uint64_t offset,
                         std::span<uint8_t> out) const override {
    auto it = overlay_->find(name);
    if (it == overlay_->end()) return base_->ReadStreamRange(name, offset, out);
    if (!it->second || offset + out.size() > it->second->size()) return Error(result_code::kReadFault);
    std::copy_n(it->second->begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return Ok{};
  }
  Status Commit(std::span<const compound::StreamChange> changes) override {
    ++commits;
    if (fail) return Error(result_code::kWriteFault, 0, u"[2]", {u"disk full"});
    for (const auto& c : changes) {
      (*overlay_)[c.name] = c.data;
      written.push_back(DecodeStreamName(c.name));
    }
    return Ok{};
  }

  bool fail = false;
  int commits = 0;
  std::vector<std::u16string> written;

 private:
  std::unique_ptr<compound::CompoundFile> base_;
  std::shared_ptr<Overlay> overlay_;
};

struct Opened {
  std::unique_ptr<Database> db;
  OverlayFile* file = nullptr;
};

Opened OpenOverlay(const std::string& path, std::shared_ptr<Overlay> overlay, OpenMode mode) {
  auto raw = platform::OpenFile(path, platform::FileMode::kReadOnly);
  EXPECT_TRUE(raw.ok());
  if (!raw.ok()) return {};
  auto base = compound::CompoundFile::Open(std::move(raw).value());
  EXPECT_TRUE(base.ok());
  if (!base.ok()) return {};
  auto file = std::make_unique<OverlayFile>(std::move(base).value(), overlay);
  OverlayFile* view = file.get();
  auto db = Database::Open(std::move(file), mode, path);
  EXPECT_TRUE(db.ok());
  if (!db.ok()) return {};
  return {std::move(db).value(), view};
}

uint32_t Key(Database& db, std::u16string_view text) { return db.strings().InternText(text); }

TEST(DatabaseOverlayTest, CommitWritesOnlyChangedTablesAndThePool) {
  const std::string path = test::RealFixture("putty-0.68-installer.msi");
  auto overlay = std::make_shared<Overlay>();
  {
    Opened o = OpenOverlay(path, overlay, OpenMode::kTransact);
    ASSERT_TRUE(o.db);
    auto property = o.db->GetTable(u"Property");
    ASSERT_TRUE(property.ok());
    uint32_t cells[] = {Key(*o.db, u"NEWPROP"), Key(*o.db, u"new value")};
    (*property)->AppendRow(cells);
    ASSERT_TRUE(o.db->Commit().ok());
    EXPECT_EQ(o.file->commits, 1);
    std::sort(o.file->written.begin(), o.file->written.end());
    EXPECT_EQ(o.file->written,
              (std::vector<std::u16string>{u"Property", u"_StringData", u"_StringPool"}));
    // A second commit with nothing new does not touch the file.
    ASSERT_TRUE(o.db->Commit().ok());
    EXPECT_EQ(o.file->commits, 1);
  }
  Opened again = OpenOverlay(path, overlay, OpenMode::kReadOnly);
  ASSERT_TRUE(again.db);
  auto property = again.db->GetTable(u"Property");
  ASSERT_TRUE(property.ok());
  uint32_t key = again.db->strings().FindText(u"NEWPROP");
  ASSERT_NE(key, 0u);
  auto row = (*property)->FindByKey(std::span<const uint32_t>(&key, 1));
  ASSERT_TRUE(row);
  EXPECT_EQ(again.db->strings().Text((*property)->Cell(*row, 1)), u"new value");

  // Reference counts were recomputed: every persistent cell counted once.
  std::vector<uint32_t> counts(again.db->strings().slot_count(), 0);
  for (const auto& name : again.db->TableNames()) {
    auto t = again.db->GetTable(name);
    ASSERT_TRUE(t.ok());
    (*t)->CountStringRefs(counts);
  }
  for (auto name : {u"_Tables", u"_Columns"}) (*again.db->GetTable(name))->CountStringRefs(counts);
  auto pool = again.file->ReadStream(EncodeStreamName(u"_StringPool", true));
  ASSERT_TRUE(pool.ok());
  size_t entry = 4;
  for (uint32_t id = 1; entry + 4 <= pool->size(); ++id, entry += 4) {
    uint32_t length = (*pool)[entry] | ((*pool)[entry + 1] << 8);
    uint32_t count = (*pool)[entry + 2] | ((*pool)[entry + 3] << 8);
    ASSERT_LT(id, counts.size());
    if (length == 0 && count != 0) {
      ADD_FAILURE() << "unexpected long string";
      break;
    }
    EXPECT_EQ(count, std::min<uint32_t>(counts[id], 0xFFFF)) << "string " << id;
  }
}

TEST(DatabaseOverlayTest, FailedCommitKeepsChangesPending) {
  const std::string path = test::BuiltFixture("minimal.msi");
  auto overlay = std::make_shared<Overlay>();
  Opened o = OpenOverlay(path, overlay, OpenMode::kTransact);
  ASSERT_TRUE(o.db);
  auto property = o.db->GetTable(u"Property");
  ASSERT_TRUE(property.ok());
  uint32_t cells[] = {Key(*o.db, u"NEWPROP"), Key(*o.db, u"v")};
  (*property)->AppendRow(cells);
  o.file->fail = true;
  Status failed = o.db->Commit();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().msi_error, 2259);
  EXPECT_TRUE(overlay->empty());
  EXPECT_TRUE(o.db->dirty());
  o.file->fail = false;
  ASSERT_TRUE(o.db->Commit().ok());
  EXPECT_FALSE(overlay->empty());
}

}  // namespace
}  // namespace mkx::engine
