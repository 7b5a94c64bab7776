// In-place commit of root-storage stream changes (copy-on-write, header last).
//
// Design notes. A commit builds the next state in memory from the current one and
// keeps these invariants:
//  (1) Sectors of streams that are not changed are never read or written; their
//      FAT entries keep their values.
//  (2) Every sector written before the header is either FREE in the current FAT or
//      lies past the end of the current file. Open refused any file where a chain
//      reaches a FREE sector or a FAT or DIFAT sector is not marked as one, and
//      commits keep that so, hence neither kind is in use. The allocator takes free
//      sectors in ascending order, then appends; it never hands out a sector the
//      current state uses, so a sector freed by this commit is only reused by a
//      later one. Mini sectors: the mini stream is rewritten whole to new sectors,
//      so a mini sector FREE in the next mini FAT may be taken at once.
//  (3) Changed structures are copy-on-write too: the mini stream (rewritten whole
//      when any small stream changes), the mini FAT, the directory (rewritten whole:
//      it is small), every FAT sector whose content changes, and the DIFAT sectors
//      when a FAT sector they list moves. FAT sectors whose entries do not change
//      stay where they are, so the cost follows the changed data, not the file size.
//  (4) Order: data and structures, Sync, the header (sector 0), Sync. Until the
//      header write the file still describes the previous state in full; after it,
//      the sectors only the previous state used are FREE in the new FAT. A file
//      written from empty has no previous state, so the first Sync is skipped.
//  (5) The in-memory state is replaced only after the header write succeeded, so a
//      failed commit leaves the object reading the previous state.
// Entry ids of unchanged entries are kept; a removed entry becomes unused and a new
// one takes an unused slot or is appended. When the set of root children changes,
// the root's sibling tree is rebuilt as a balanced red-black tree.

#include <algorithm>
#include <set>

#include "engine/compound/compound_internal.h"

namespace mkx::compound {

using namespace format;

namespace {

Error CommitError(uint32_t code, const std::u16string& detail) {
  return Error(code, 2259, u"Cannot update the compound file: [2].", {detail});
}

/// Whether a size needs more than 32 bits (a function, so that hosts with a 32-bit
/// size_t, where it never does, compile it without a warning).
bool NeedsMoreThan32Bits(uint64_t size) { return size > 0xFFFFFFFFull; }

/// DIFAT sectors needed to list `fat_sectors` FAT sectors.
size_t DifatSectorsFor(size_t fat_sectors, uint32_t entries_per_sector) {
  if (fat_sectors <= kHeaderDifatCount) return 0;
  const size_t per = entries_per_sector - 1;
  return (fat_sectors - kHeaderDifatCount + per - 1) / per;
}

}  // namespace

class Committer {
 public:
  explicit Committer(const CompoundFileImpl& cf)
      : cf_(cf), old_(cf.state()), ss_(old_.sector_size()), eps_(old_.fat_entries_per_sector()),
        old_fat_(cf.file(), old_.header.sector_shift, old_.fat_sectors),
        free_scan_(cf.file(), old_.header.sector_shift, old_.fat_sectors) {}

  /// Writes everything but the header; on success `next()` is the state to publish
  /// and `changed()` says whether there is anything to publish.
  Status Prepare(std::span<const StreamChange> changes);
  /// Syncs, writes the header, syncs.
  Status Publish();
  FileState& next() { return next_; }
  bool changed() const { return changed_; }

 private:
  Status Validate(std::span<const StreamChange> changes) const;
  Status Release(uint32_t id);
  Status Store(uint32_t id, const std::vector<uint8_t>& data);
  Status LoadMiniStream();
  uint32_t NewEntry(const std::u16string& name);
  Status WriteMiniStream();
  Status WriteDirectory();
  Status PlaceFat();

  uint32_t Allocate();
  std::vector<uint32_t> AllocateChain(uint64_t bytes);
  void FreeChain(const std::vector<uint32_t>& chain);
  void SetFat(uint32_t index, uint32_t value);
  Status WriteChain(const std::vector<uint32_t>& chain, std::span<const uint8_t> data);

  const CompoundFileImpl& cf_;
  const FileState& old_;
  const uint32_t ss_;
  const uint32_t eps_;
  FileState next_;
  bool changed_ = false;
  bool members_changed_ = false;

  // The next FAT: per FAT sector, its entries once they differ from the current
  // FAT's (or it is new), else empty. The current FAT is read as needed, never whole.
  std::vector<std::vector<uint32_t>> next_fat_;
  FatReader old_fat_;
  // Allocation: free sectors of the current state below reuse_limit_, in ascending
  // order, then appends.
  FatReader free_scan_;
  uint32_t scan_next_ = 0;            // next sector to look at
  uint32_t reuse_limit_ = 0;
  uint64_t append_next_ = 0;
  bool out_of_sectors_ = false;
  std::optional<Error> fat_error_;    // a FAT sector could not be read

  std::optional<std::vector<uint8_t>> mini_;  // the mini stream, once a small stream changes
  bool mini_changed_ = false;
};

uint32_t Committer::Allocate() {
  while (scan_next_ < reuse_limit_) {
    auto entries = free_scan_.Sector(scan_next_ / eps_);
    if (!entries.ok()) {
      if (!fat_error_) fat_error_ = entries.take_error();
      scan_next_ = reuse_limit_;  // allocate by appending; the commit fails on fat_error_
      break;
    }
    const auto from = entries->begin() + scan_next_ % eps_;
    const auto free = std::find(from, entries->end(), kFreeSector);
    scan_next_ += static_cast<uint32_t>(free - from);  // to the next FAT sector when none is free
    if (free != entries->end() && scan_next_ < reuse_limit_) return scan_next_++;
  }
  if (append_next_ >= kMaxRegularSector) {
    out_of_sectors_ = true;
    return kEndOfChain;
  }
  return static_cast<uint32_t>(append_next_++);
}

void Committer::SetFat(uint32_t index, uint32_t value) {
  if (index >= kMaxRegularSector) return;  // only after out_of_sectors_, reported later
  const size_t k = index / eps_;
  while (next_fat_.size() <= k) next_fat_.emplace_back(eps_, kFreeSector);  // a new FAT sector
  if (next_fat_[k].empty()) {
    auto current = old_fat_.Get(index);
    if (current.ok() && *current == value) return;
    auto entries = old_fat_.Sector(k);
    if (!entries.ok()) {
      if (!fat_error_) fat_error_ = entries.take_error();
      return;
    }
    next_fat_[k].assign(entries->begin(), entries->end());
  }
  next_fat_[k][index % eps_] = value;
}

std::vector<uint32_t> Committer::AllocateChain(uint64_t bytes) {
  const uint64_t count = UnitsFor(bytes, ss_);
  std::vector<uint32_t> chain;
  chain.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count && !out_of_sectors_; ++i) chain.push_back(Allocate());
  for (size_t i = 0; i < chain.size(); ++i) {
    SetFat(chain[i], i + 1 < chain.size() ? chain[i + 1] : kEndOfChain);
  }
  return chain;
}

void Committer::FreeChain(const std::vector<uint32_t>& chain) {
  for (uint32_t s : chain) SetFat(s, kFreeSector);
}

Status Committer::WriteChain(const std::vector<uint32_t>& chain, std::span<const uint8_t> data) {
  if (out_of_sectors_) return CommitError(result_code::kHandleDiskFull, u"the file would exceed its sector limit");
  if (fat_error_) return *fat_error_;
  const size_t full = data.size() / ss_;
  std::vector<uint32_t> head(chain.begin(), chain.begin() + static_cast<ptrdiff_t>(full));
  MKX_TRY(WriteSectors(cf_.file(), old_.header.sector_shift, head, data.first(full * ss_)));
  if (data.size() % ss_ != 0) {
    std::vector<uint8_t> last(ss_, 0);
    std::copy(data.begin() + static_cast<ptrdiff_t>(full * ss_), data.end(), last.begin());
    MKX_TRY(WriteSectors(cf_.file(), old_.header.sector_shift, {chain[full]}, last));
  }
  return Ok{};
}

Status Committer::Validate(std::span<const StreamChange> changes) const {
  // Siblings must differ under the directory's ordering, not only as raw units.
  auto less = [](const std::u16string& a, const std::u16string& b) { return CompareEntryNames(a, b) < 0; };
  std::set<std::u16string, decltype(less)> siblings(less);
  for (uint32_t child : old_.root_children) siblings.insert(old_.entries[child].name);
  std::set<std::u16string> seen;
  for (const StreamChange& c : changes) {
    if (c.name.empty() || c.name.size() > kMaxNameUnits ||
        c.name.find(u'\0') != std::u16string::npos) {
      return CommitError(result_code::kInvalidParameter, u"a stream name is empty, too long or holds NUL");
    }
    if (!seen.insert(c.name).second) {
      return CommitError(result_code::kInvalidParameter, u"a stream is named twice: " + c.name);
    }
    auto id = cf_.FindChild(c.name);
    if (id && old_.entries[*id].type != kTypeStream) {
      return CommitError(result_code::kInvalidParameter, c.name + u" is a storage, not a stream");
    }
    if (c.data && old_.version3() && NeedsMoreThan32Bits(c.data->size())) {
      return CommitError(result_code::kInvalidParameter, u"a stream is too large for this file");
    }
    if (!id && c.data && !siblings.insert(c.name).second) {
      return CommitError(result_code::kInvalidParameter, c.name + u" collides with another name");
    }
  }
  return Ok{};
}

Status Committer::LoadMiniStream() {
  if (mini_) return Ok{};
  const uint64_t size = old_.entries[0].size;  // bounded by the file size at open
  if (size != static_cast<size_t>(size)) return CommitError(result_code::kNotEnoughMemory, u"the mini stream is too large");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  MKX_TRY(cf_.ReadEntry(0, 0, bytes));
  mini_ = std::move(bytes);
  return Ok{};
}

Status Committer::Release(uint32_t id) {
  const DirEntry& e = old_.entries[id];
  if (e.size == 0) return Ok{};
  if (cf_.IsMini(e)) {
    MKX_TRY(LoadMiniStream());
    mini_changed_ = true;
    auto chain = cf_.MiniChain(id);
    if (!chain.ok()) return chain.take_error();
    for (uint32_t m : **chain) next_.minifat[m] = kFreeSector;
    return Ok{};
  }
  auto chain = cf_.RegularChain(id);
  if (!chain.ok()) return chain.take_error();
  FreeChain(**chain);
  return Ok{};
}

Status Committer::Store(uint32_t id, const std::vector<uint8_t>& data) {
  DirEntry& e = next_.entries[id];
  e.size = data.size();
  e.start = kEndOfChain;
  if (data.empty()) return Ok{};
  if (data.size() < old_.header.mini_stream_cutoff) {
    MKX_TRY(LoadMiniStream());
    mini_changed_ = true;
    const size_t count = (data.size() + kMiniSectorSize - 1) / kMiniSectorSize;
    std::vector<uint32_t> chain;
    for (size_t m = 0; chain.size() < count; ++m) {
      if (m >= next_.minifat.size()) next_.minifat.push_back(kFreeSector);
      if (next_.minifat[m] == kFreeSector) chain.push_back(static_cast<uint32_t>(m));
    }
    for (size_t i = 0; i < count; ++i) {
      next_.minifat[chain[i]] = i + 1 < count ? chain[i + 1] : kEndOfChain;
      const size_t at = static_cast<size_t>(chain[i]) * kMiniSectorSize;
      if (mini_->size() < at + kMiniSectorSize) mini_->resize(at + kMiniSectorSize, 0);
      const size_t from = i * kMiniSectorSize;
      const size_t n = std::min<size_t>(kMiniSectorSize, data.size() - from);
      std::copy_n(data.begin() + static_cast<ptrdiff_t>(from), n, mini_->begin() + static_cast<ptrdiff_t>(at));
      std::fill_n(mini_->begin() + static_cast<ptrdiff_t>(at + n), kMiniSectorSize - n, uint8_t{0});
    }
    e.start = chain[0];
    return Ok{};
  }
  std::vector<uint32_t> chain = AllocateChain(data.size());
  MKX_TRY(WriteChain(chain, data));
  e.start = chain[0];
  return Ok{};
}

uint32_t Committer::NewEntry(const std::u16string& name) {
  DirEntry e;
  e.name = name;
  e.type = kTypeStream;
  uint32_t id = 1;
  while (id < next_.entries.size() && next_.entries[id].type != kTypeUnused) ++id;
  if (id == next_.entries.size()) next_.entries.emplace_back();
  next_.entries[id] = e;
  next_.root_children.push_back(id);
  members_changed_ = true;
  return id;
}

Status Committer::WriteMiniStream() {
  // Drop trailing free mini sectors, then write stream and mini FAT to new sectors.
  while (!next_.minifat.empty() && next_.minifat.back() == kFreeSector) next_.minifat.pop_back();
  mini_->resize(next_.minifat.size() * kMiniSectorSize, 0);

  DirEntry& root = next_.entries[0];
  if (old_.entries[0].size > 0) {
    auto chain = cf_.RegularChain(0);
    if (!chain.ok()) return chain.take_error();
    FreeChain(**chain);
  }
  std::vector<uint32_t> chain = AllocateChain(mini_->size());
  MKX_TRY(WriteChain(chain, *mini_));
  root.start = chain.empty() ? kEndOfChain : chain[0];
  root.size = mini_->size();

  FreeChain(old_.minifat_chain);
  next_.minifat.resize((next_.minifat.size() + eps_ - 1) / eps_ * eps_, kFreeSector);
  std::vector<uint8_t> bytes(next_.minifat.size() * 4);
  for (size_t i = 0; i < next_.minifat.size(); ++i) Put32(bytes.data() + 4 * i, next_.minifat[i]);
  next_.minifat_chain = AllocateChain(bytes.size());
  MKX_TRY(WriteChain(next_.minifat_chain, bytes));
  next_.header.first_minifat_sector = next_.minifat_chain.empty() ? kEndOfChain : next_.minifat_chain[0];
  next_.header.num_minifat_sectors = static_cast<uint32_t>(next_.minifat_chain.size());
  return Ok{};
}

Status Committer::WriteDirectory() {
  if (members_changed_) {
    next_.entries[0].child = BuildSiblingTree(next_.entries, next_.root_children);
  }
  const size_t per_sector = ss_ / kDirEntrySize;
  next_.entries.resize((next_.entries.size() + per_sector - 1) / per_sector * per_sector);
  std::vector<uint8_t> bytes(next_.entries.size() * kDirEntrySize);
  for (size_t i = 0; i < next_.entries.size(); ++i) {
    SerializeDirEntry(next_.entries[i], bytes.data() + i * kDirEntrySize);
  }
  FreeChain(old_.dir_chain);
  next_.dir_chain = AllocateChain(bytes.size());
  MKX_TRY(WriteChain(next_.dir_chain, bytes));
  next_.header.first_dir_sector = next_.dir_chain[0];
  next_.header.num_dir_sectors = old_.version3() ? 0 : static_cast<uint32_t>(next_.dir_chain.size());
  return Ok{};
}

Status Committer::PlaceFat() {
  // Move every FAT sector whose content changed (and place new ones); moving one
  // changes FAT entries itself, so repeat until nothing more moves. DIFAT sectors are
  // rewritten whole when the FAT sectors they list move or their number changes.
  const size_t old_count = old_.fat_sectors.size();
  std::vector<uint32_t>& locations = next_.fat_sectors;
  std::vector<bool> moved;
  bool difat_moved = false;
  for (;;) {
    bool progress = false;
    for (size_t k = 0; k < next_fat_.size(); ++k) {
      if (k >= locations.size()) locations.push_back(kFreeSector);
      if (k >= moved.size()) moved.push_back(false);
      if (next_fat_[k].empty() || moved[k]) continue;
      if (k < old_count) SetFat(old_.fat_sectors[k], kFreeSector);
      locations[k] = Allocate();
      SetFat(locations[k], kFatSector);
      moved[k] = true;
      progress = true;
    }
    const size_t difat_count = DifatSectorsFor(next_fat_.size(), eps_);
    bool listed_moved = difat_count != old_.difat_sectors.size();
    for (size_t k = kHeaderDifatCount; k < moved.size() && !listed_moved; ++k) listed_moved = moved[k];
    if (listed_moved && (!difat_moved || next_.difat_sectors.size() < difat_count)) {
      if (!difat_moved) {
        FreeChain(old_.difat_sectors);
        next_.difat_sectors.clear();
        difat_moved = true;
      }
      while (next_.difat_sectors.size() < difat_count) {
        const uint32_t s = Allocate();
        SetFat(s, kDifatSector);
        next_.difat_sectors.push_back(s);
      }
      progress = true;
    }
    if (out_of_sectors_) return CommitError(result_code::kHandleDiskFull, u"the file would exceed its sector limit");
    if (fat_error_) return *fat_error_;
    if (!progress) break;
  }

  // Write the moved FAT sectors.
  std::vector<uint32_t> where;
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k < locations.size(); ++k) {
    if (!moved[k]) continue;
    where.push_back(locations[k]);
    const size_t at = bytes.size();
    bytes.resize(at + ss_);
    for (uint32_t i = 0; i < eps_; ++i) Put32(bytes.data() + at + 4 * i, next_fat_[k][i]);
  }
  MKX_TRY(WriteSectors(cf_.file(), old_.header.sector_shift, where, bytes));

  // The DIFAT: FAT sector locations past the header's 109, eps - 1 per sector, the
  // last entry of each sector linking to the next.
  if (difat_moved && !next_.difat_sectors.empty()) {
    const size_t per = eps_ - 1;
    std::vector<uint8_t> difat(next_.difat_sectors.size() * ss_, 0xFF);
    for (size_t d = 0; d < next_.difat_sectors.size(); ++d) {
      uint8_t* sector = difat.data() + d * ss_;
      for (size_t i = 0; i < per; ++i) {
        const size_t k = kHeaderDifatCount + d * per + i;
        if (k < locations.size()) Put32(sector + 4 * i, locations[k]);
      }
      Put32(sector + 4 * per,
            d + 1 < next_.difat_sectors.size() ? next_.difat_sectors[d + 1] : kEndOfChain);
    }
    MKX_TRY(WriteSectors(cf_.file(), old_.header.sector_shift, next_.difat_sectors, difat));
  }

  Header& h = next_.header;
  h.num_fat_sectors = static_cast<uint32_t>(locations.size());
  h.difat.fill(kFreeSector);
  for (size_t k = 0; k < kHeaderDifatCount && k < locations.size(); ++k) h.difat[k] = locations[k];
  h.first_difat_sector = next_.difat_sectors.empty() ? kEndOfChain : next_.difat_sectors[0];
  h.num_difat_sectors = static_cast<uint32_t>(next_.difat_sectors.size());
  return Ok{};
}

Status Committer::Prepare(std::span<const StreamChange> changes) {
  MKX_TRY(Validate(changes));
  next_ = old_;
  next_fat_.resize(old_.fat_sectors.size());
  changed_ = old_.dir_chain.empty();  // a new file is written even without streams

  const uint32_t file_sectors = cf_.FileSectorCount();
  reuse_limit_ = std::min<uint64_t>(file_sectors, old_.fat_entries());
  // Appends start at the end of the file: no chain, FAT or DIFAT sector lies past it
  // (the reader refuses those), so a FAT that marks sectors out there as used claims
  // nothing real, and following it would let a damaged file make us write far beyond
  // its own size.
  append_next_ = file_sectors;

  for (const StreamChange& c : changes) {
    auto id = cf_.FindChild(c.name);
    if (!id && !c.data) continue;  // removing a stream that is not there
    changed_ = true;
    if (id) MKX_TRY(Release(*id));
    if (c.data) {
      const uint32_t target = id ? *id : NewEntry(c.name);
      MKX_TRY(Store(target, *c.data));
    } else {
      next_.entries[*id] = DirEntry{};
      std::erase(next_.root_children, *id);
      members_changed_ = true;
    }
  }
  if (!changed_) return Ok{};
  if (mini_changed_) MKX_TRY(WriteMiniStream());
  MKX_TRY(WriteDirectory());
  MKX_TRY(PlaceFat());
  return Ok{};
}

Status Committer::Publish() {
  // A file written from empty has no previous state to keep readable: its data only
  // has to be durable together with the header, so one sync after it suffices.
  if (!old_.dir_chain.empty()) MKX_TRY(cf_.file().Sync());
  std::array<uint8_t, kHeaderSize> header{};
  SerializeHeader(next_.header, header.data());
  MKX_TRY(cf_.file().WriteAt(0, header));
  MKX_TRY(cf_.file().Sync());
  return Ok{};
}

Status CompoundFileImpl::Commit(std::span<const StreamChange> changes) {
  if (!file_->writable()) {
    return Error(result_code::kFunctionFailed, 2259,
                 u"Cannot update the compound file: [2].", {u"it is open read-only"});
  }
  if (broken_) {
    return Error(result_code::kFunctionFailed, 2259, u"Cannot update the compound file: [2].",
                 {u"an earlier update failed and the file could not be read back"});
  }
  Committer committer(*this);
  const uint64_t old_size = file_->Size();
  Status prepared = committer.Prepare(changes);
  if (!prepared.ok()) {
    // Nothing of the current state was touched; drop what was appended (best effort).
    if (file_->Size() > old_size) (void)file_->Truncate(old_size);
    return prepared;
  }
  if (!committer.changed()) return Ok{};
  Status published = committer.Publish();
  if (!published.ok()) {
    // The header may or may not have reached the disk: read back whichever state the
    // file now describes, so a later commit never allocates over live sectors. If
    // that fails, keep reading the previous state (its sectors are intact either
    // way) and refuse further commits.
    FileState previous = state_;
    if (!Load().ok()) {
      InstallState(std::move(previous));
      broken_ = true;
    }
    return published;
  }
  InstallState(std::move(committer.next()));
  return Ok{};
}

}  // namespace mkx::compound
