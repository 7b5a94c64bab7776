// The implementation class behind CompoundFile, shared by the reader
// (compound_reader.cpp), the in-place committer (compound_commit.cpp) and the writer
// (compound_writer.cpp, which builds a new file by committing into an empty state).
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/compound/compound_file.h"
#include "engine/compound/format.h"

namespace mkx::compound {

/// The FAT of one state. Open reads it whole, in batches (its allocation check passes
/// through every entry a chain uses); a table built otherwise reads a FAT sector on
/// first use. A commit copies only the FAT sectors it changes, so its cost follows the
/// streams touched, not the file size.
/// Copies share the sectors read so far; Set copies a shared sector before changing
/// it, so a copy can be changed while the original still describes the file.
/// A table is used by one thread at a time: const methods fill in sectors as they
/// are read, without locking.
class FatTable {
 public:
  using Entries = std::vector<uint32_t>;  // one FAT sector: entries_per_sector() values

  FatTable() = default;
  /// FAT sector k is read from file sector `locations[k]` (which the caller checked
  /// to lie inside the file); a short last sector of the file reads as padded with
  /// free entries.
  FatTable(const platform::RandomAccessFile* file, uint32_t sector_shift, std::vector<uint32_t> locations);

  uint32_t entries_per_sector() const { return eps_; }
  size_t sector_count() const { return sectors_.size(); }
  /// Number of entries: sector_count() * entries_per_sector().
  uint64_t size() const { return static_cast<uint64_t>(sectors_.size()) * eps_; }

  /// Entry `index` (< size()). Fails only when its FAT sector cannot be read.
  Result<uint32_t> Get(uint32_t index) const;
  /// The entries of FAT sector k (< sector_count()), read if needed.
  Result<std::shared_ptr<const Entries>> Sector(size_t k) const;
  /// Sets entry `index` (< size()), reading its sector first if needed.
  Status Set(uint32_t index, uint32_t value);
  /// Reads every FAT sector not yet in memory, merging adjacent ones into one read.
  Status LoadAll();
  /// Appends sectors of free entries until size() >= entries.
  void Grow(uint64_t entries);
  /// Where FAT sector k is stored from now on (a commit moved it).
  void Relocate(size_t k, uint32_t location);

  /// Calls visit(first_index, entries) for the FAT sectors [first, last) in order,
  /// reading sectors not in memory in bounded batches without keeping them.
  template <typename Visit>
  Status Scan(size_t first, size_t last, Visit&& visit) const;

 private:
  Status ReadSectors(size_t first, size_t count, std::vector<uint8_t>& buffer) const;
  Result<std::shared_ptr<Entries>> Load(size_t k) const;

  const platform::RandomAccessFile* file_ = nullptr;
  uint32_t sector_shift_ = 9;
  uint32_t eps_ = 128;
  std::vector<uint32_t> locations_;                      // file sector of FAT sector k
  mutable std::vector<std::shared_ptr<Entries>> sectors_;  // null until read
};

template <typename Visit>
Status FatTable::Scan(size_t first, size_t last, Visit&& visit) const {
  constexpr size_t kBatchBytes = 64 * 1024;
  const size_t batch = std::max<size_t>(1, kBatchBytes >> sector_shift_);
  std::vector<uint8_t> raw;
  Entries decoded(eps_);
  for (size_t k = first; k < last;) {
    if (const std::shared_ptr<Entries>& held = sectors_[k]) {
      visit(static_cast<uint64_t>(k) * eps_, std::span<const uint32_t>(*held));
      ++k;
      continue;
    }
    // A run of sectors not in memory, adjacent in the file, read in one call.
    size_t n = 1;
    while (k + n < last && n < batch && locations_[k + n] == locations_[k + n - 1] + 1 && !sectors_[k + n]) ++n;
    MKX_TRY(ReadSectors(k, n, raw));
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = raw.data() + (i << sector_shift_);
      for (uint32_t e = 0; e < eps_; ++e) decoded[e] = format::Get32(p + 4 * e);
      visit(static_cast<uint64_t>(k + i) * eps_, std::span<const uint32_t>(decoded));
    }
    k += n;
  }
  return Ok{};
}

/// Everything the header of the last committed state refers to, held in memory
/// (the FAT only as far as it was read).
struct FileState {
  format::Header header;
  FatTable fat;                         // one entry per sector the FAT sectors cover
  std::vector<uint32_t> fat_sectors;    // location of FAT sector k
  std::vector<uint32_t> difat_sectors;  // locations of the chained DIFAT sectors
  std::vector<uint32_t> minifat;        // one entry per mini sector
  std::vector<uint32_t> minifat_chain;  // sectors holding the mini FAT
  std::vector<uint32_t> dir_chain;      // sectors holding the directory
  std::vector<format::DirEntry> entries;
  std::vector<uint32_t> root_children;  // ids of the root's children, in tree order

  uint32_t sector_size() const { return 1u << header.sector_shift; }
  uint32_t fat_entries_per_sector() const { return sector_size() / 4; }
  bool version3() const { return header.major_version == 3; }
};

/// Open's record of the sectors the file's chains use (compound_allocation.cpp). Each
/// claim follows or lists sectors and fails with result_code::kOpenFailed when one is out of
/// range, already claimed, or not linked as the claim requires; once every structure
/// and stream is claimed, a FREE sector is one that nothing live uses.
class SectorClaims {
 public:
  /// `fat` describes at least the sectors [0, sectors), the ones chains may use.
  SectorClaims(const FatTable& fat, uint32_t sectors);
  /// Claims FAT or DIFAT sectors; each must be marked `mark` in the FAT.
  Status ClaimMarked(std::span<const uint32_t> sectors, uint32_t mark, const std::string& what);
  /// Claims the chain from `start`: exactly `count` sectors and then end-of-chain, or
  /// without a count, every sector up to end-of-chain. Returns it when `keep` is set.
  Result<std::vector<uint32_t>> Follow(uint32_t start, std::optional<uint64_t> count,
                                       const std::string& what, bool keep = true);
  /// Claims the mini stream and the chain of every stream reachable from the root,
  /// through every storage, checking mini chains against a map of their own.
  Status ClaimStreams(const FileState& state);

 private:
  Status Claim(uint32_t sector, const std::string& what);

  const FatTable& fat_;
  std::vector<bool> used_;
};

/// A validated sector chain, shared with the cache so long chains are never copied.
using Chain = std::shared_ptr<const std::vector<uint32_t>>;

/// Error builders shared by the compound-file sources.
Error DamagedFile(const std::string& detail);           // result_code::kOpenFailed at open
Error DamagedStream(std::u16string_view name, const std::string& detail);  // at a read

class CompoundFileImpl final : public CompoundFile {
 public:
  /// `owned` may be null when `file` outlives this object (the writer's case).
  CompoundFileImpl(std::unique_ptr<platform::RandomAccessFile> owned,
                   platform::RandomAccessFile* file);

  /// Reads header, DIFAT, FAT, mini FAT and directory, validating every field and
  /// claiming every chain (see SectorClaims).
  Status Load();
  /// Starts from an empty state (no sectors, just a root entry) for a new file.
  void InitEmpty(const Clsid& root_clsid);

  const Clsid& RootClsid() const override { return state_.entries[0].clsid; }
  std::vector<EntryInfo> RootEntries() const override;
  std::optional<EntryInfo> FindStream(std::u16string_view name) const override;
  Result<std::vector<uint8_t>> ReadStream(std::u16string_view name) const override;
  Status ReadStreamRange(std::u16string_view name, uint64_t offset,
                         std::span<uint8_t> out) const override;
  Status Commit(std::span<const StreamChange> changes) override;

  // Helpers used by the committer (all read the current committed state).

  /// Number of (possibly partial) sectors after the header in the file.
  uint32_t FileSectorCount() const;
  /// Byte offset of sector `s`.
  uint64_t SectorOffset(uint32_t s) const {
    return (static_cast<uint64_t>(s) + 1) << state_.header.sector_shift;
  }
  /// The regular-sector chain of directory entry `id` (the mini stream for the root),
  /// validated against its size; cached.
  Result<Chain> RegularChain(uint32_t id) const;
  /// The mini-sector chain of a small stream; cached.
  Result<Chain> MiniChain(uint32_t id) const;
  /// Reads `out.size()` bytes of entry `id` from `offset` (bounds already checked).
  Status ReadEntry(uint32_t id, uint64_t offset, std::span<uint8_t> out) const;
  /// The id of a root child by exact name, if any.
  std::optional<uint32_t> FindChild(std::u16string_view name) const;
  bool IsMini(const format::DirEntry& e) const {
    return e.type != format::kTypeRoot && e.size < state_.header.mini_stream_cutoff;
  }

  const FileState& state() const { return state_; }
  platform::RandomAccessFile& file() const { return *file_; }

 private:
  Status ReadStructure(const std::vector<uint32_t>& chain, uint8_t fill,
                       std::vector<uint8_t>& out) const;
  Status WalkRootTree();
  void InstallState(FileState state);

  std::unique_ptr<platform::RandomAccessFile> owned_;
  platform::RandomAccessFile* file_;
  FileState state_;
  bool broken_ = false;  // a failed commit left a state that could not be re-read
  std::map<std::u16string, uint32_t, std::less<>> child_index_;
  mutable std::unordered_map<uint32_t, Chain> chain_cache_;

  friend class Committer;
};

/// Builds a red-black tree over `ids` (sibling links and colors of those entries) and
/// returns its root id (kNoStream when empty). Sorts `ids` by CompareEntryNames,
/// which is the tree's in-order sequence.
uint32_t BuildSiblingTree(std::vector<format::DirEntry>& entries, std::vector<uint32_t>& ids);

/// Reads and writes runs of sectors, merging adjacent sectors into one I/O call.
/// `sectors[i]` holds bytes [i * sector_size, (i + 1) * sector_size) of `data`.
Status WriteSectors(platform::RandomAccessFile& file, uint32_t sector_shift,
                    const std::vector<uint32_t>& sectors, std::span<const uint8_t> data);

}  // namespace mkx::compound
