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

/// Reads the FAT of a committed state from its file through one window of consecutive
/// FAT sectors. The FAT is never held whole (4 bytes per sector: 2 MiB for a 256 MiB
/// file): memory touched for the first time costs more than reading it again.
/// A read reaches ahead twice as far as the entries used since the previous read (at
/// least one FAT sector, at most 64 KiB): a walk in sector order takes a few large
/// reads, one that jumps between FAT sectors reads one FAT sector per jump, so the
/// bytes read stay proportional to the entries used.
class FatReader {
 public:
  /// FAT sector k is read from file sector `locations[k]`, which must outlive the
  /// reader; a short last sector of the file reads as padded with free entries.
  FatReader(platform::RandomAccessFile& file, uint32_t sector_shift, std::span<const uint32_t> locations);

  /// Number of entries: one per sector the FAT sectors cover.
  uint64_t size() const { return static_cast<uint64_t>(locations_.size()) * eps_; }
  /// Entry `index` (< size()). Fails only when its FAT sector cannot be read.
  Result<uint32_t> Get(uint32_t index) {
    const uint64_t at = index - first_;  // wraps past the window when index < first_
    if (at >= window_.size()) return Load(index);
    ++used_;
    return window_[at];
  }
  /// The entries of FAT sector k (< size() / entries per sector), valid until the
  /// next call; they count as used.
  Result<std::span<const uint32_t>> Sector(size_t k);
  /// The run of a chain from sector `index`: how many sectors it takes in sector
  /// order, index, index + 1, ... (1 to `most`; index + most <= size()), and the
  /// entry of the last of them.
  struct Run {
    uint32_t length = 0;
    uint32_t next = 0;
  };
  Result<Run> RunFrom(uint32_t index, uint32_t most);

 private:
  Result<uint32_t> Load(uint32_t index);

  platform::RandomAccessFile& file_;
  uint32_t sector_shift_;
  uint32_t eps_;
  std::span<const uint32_t> locations_;
  std::vector<uint32_t> window_;  // entries [first_, first_ + window_.size())
  uint64_t first_ = 0;
  uint64_t used_ = 0;  // window hits since the last read
};

/// What the header of the last committed state refers to, held in memory; the FAT
/// stays in the file (FatReader).
struct FileState {
  format::Header header;
  std::vector<uint32_t> fat_sectors;    // location of FAT sector k
  std::vector<uint32_t> difat_sectors;  // locations of the chained DIFAT sectors
  std::vector<uint32_t> minifat;        // one entry per mini sector
  std::vector<uint32_t> minifat_chain;  // sectors holding the mini FAT
  std::vector<uint32_t> dir_chain;      // sectors holding the directory
  std::vector<format::DirEntry> entries;
  std::vector<uint32_t> root_children;  // ids of the root's children, in tree order

  uint32_t sector_size() const { return 1u << header.sector_shift; }
  uint32_t fat_entries_per_sector() const { return sector_size() / 4; }
  uint64_t fat_entries() const { return static_cast<uint64_t>(fat_sectors.size()) * fat_entries_per_sector(); }
  bool version3() const { return header.major_version == 3; }
};

/// Open's record of the sectors the file's chains use (compound_allocation.cpp). Each
/// claim follows or lists sectors and fails with result_code::kOpenFailed when one is out of
/// range, already claimed, or not linked as the claim requires; once every structure
/// and stream is claimed, a FREE sector is one that nothing live uses.
class SectorClaims {
 public:
  /// `fat` describes at least the sectors [0, sectors), the ones chains may use.
  SectorClaims(FatReader fat, uint32_t sectors);
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
  /// Marks sectors [first, first + count) as used; false when one already was (some
  /// of the others may be marked by then: open fails anyway).
  bool Mark(uint32_t first, uint32_t count);

  FatReader fat_;
  uint32_t sectors_;
  std::vector<uint64_t> used_;  // one bit per sector
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
/// A read fails when a sector starts past the end of the file; the part of a sector
/// past the end reads as `fill` bytes (a short last sector).
Status ReadSectors(platform::RandomAccessFile& file, uint32_t sector_shift,
                   std::span<const uint32_t> sectors, uint8_t fill, std::span<uint8_t> data);
Status WriteSectors(platform::RandomAccessFile& file, uint32_t sector_shift,
                    const std::vector<uint32_t>& sectors, std::span<const uint8_t> data);

}  // namespace mkx::compound
