// The implementation class behind CompoundFile, shared by the reader
// (compound_reader.cpp), the in-place committer (compound_commit.cpp) and the writer
// (compound_writer.cpp, which builds a new file by committing into an empty state).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/compound/compound_file.h"
#include "engine/compound/format.h"

namespace mkx::compound {

/// Everything the header of the last committed state refers to, held in memory.
struct FileState {
  format::Header header;
  std::vector<uint32_t> fat;            // one entry per sector the FAT sectors cover
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

/// A validated sector chain, shared with the cache so long chains are never copied.
using Chain = std::shared_ptr<const std::vector<uint32_t>>;

/// Error builders shared by the compound-file sources.
Error DamagedFile(const std::string& detail);           // ERROR_OPEN_FAILED at open
Error DamagedStream(std::u16string_view name, const std::string& detail);  // at a read

class CompoundFileImpl final : public CompoundFile {
 public:
  /// `owned` may be null when `file` outlives this object (the writer's case).
  CompoundFileImpl(std::unique_ptr<platform::RandomAccessFile> owned,
                   platform::RandomAccessFile* file);

  /// Reads header, DIFAT, FAT, mini FAT and directory, validating every field.
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
  Result<std::vector<uint32_t>> FollowChain(uint32_t start, const std::string& what) const;
  Status ReadStructure(const std::vector<uint32_t>& chain, uint8_t fill,
                       std::vector<uint8_t>& out) const;
  Status WalkRootTree();
  void InstallState(FileState state);

  std::unique_ptr<platform::RandomAccessFile> owned_;
  platform::RandomAccessFile* file_;
  FileState state_;
  bool broken_ = false;  // a failed commit left a state that could not be re-read
  std::map<std::u16string, uint32_t, std::less<>> child_index_;
  mutable std::mutex cache_mutex_;
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
