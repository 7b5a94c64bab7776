// Creating compound files, directory-name ordering and sibling-tree construction.
//
// CompoundWriter builds a new file by committing all its streams into an empty
// in-memory state (just a root entry): the committer lays everything out by
// appending sectors and writes the header last, so a new file and an in-place update
// share one code path. The result is a version 3 file (512-byte sectors) with
// streams under 4096 bytes in the mini stream.

#include <algorithm>

#include "engine/compound/compound_internal.h"

namespace mkx::compound {

using namespace format;

namespace {

/// Upper-cases one UTF-16 unit for name comparison: ASCII, Latin-1, Latin
/// Extended-A, Greek and Cyrillic letters (the cases names actually contain).
char16_t UpperUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs (upper even, lower odd) except the 0x139..0x148 and 0x179..0x17E runs.
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (odd_pairs) return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

/// Links ids[lo, hi) as a balanced subtree; nodes below `full_depth` are red.
uint32_t BuildRange(std::vector<DirEntry>& entries, const std::vector<uint32_t>& ids, size_t lo,
                    size_t hi, int depth, int full_depth) {
  if (lo >= hi) return kNoStream;
  const size_t mid = lo + (hi - lo) / 2;
  DirEntry& node = entries[ids[mid]];
  node.color = depth >= full_depth ? kRed : kBlack;
  const uint32_t left = BuildRange(entries, ids, lo, mid, depth + 1, full_depth);
  const uint32_t right = BuildRange(entries, ids, mid + 1, hi, depth + 1, full_depth);
  DirEntry& again = entries[ids[mid]];
  again.left = left;
  again.right = right;
  return ids[mid];
}

}  // namespace

int CompareEntryNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    const char16_t x = UpperUnit(a[i]);
    const char16_t y = UpperUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

uint32_t BuildSiblingTree(std::vector<DirEntry>& entries, std::vector<uint32_t>& ids) {
  std::sort(ids.begin(), ids.end(), [&](uint32_t x, uint32_t y) {
    return CompareEntryNames(entries[x].name, entries[y].name) < 0;
  });
  // Splitting at the middle keeps every level full except the deepest one. Black
  // nodes on the full levels and red ones on the last level give every path the same
  // black count, and no red node has a red child (red nodes have no children).
  int full_depth = 0;
  while ((size_t{1} << (full_depth + 1)) - 1 <= ids.size()) ++full_depth;
  return BuildRange(entries, ids, 0, ids.size(), 0, full_depth);
}

Status ReadSectors(platform::RandomAccessFile& file, uint32_t sector_shift,
                   std::span<const uint32_t> sectors, uint8_t fill, std::span<uint8_t> data) {
  const size_t ss = size_t{1} << sector_shift;
  if (sectors.size() > data.size() / ss) return DamagedFile("a chain is longer than the data it is read into");
  const uint64_t file_size = file.Size();
  size_t i = 0;
  while (i < sectors.size()) {
    size_t j = i + 1;
    while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
    const uint64_t offset = (static_cast<uint64_t>(sectors[i]) + 1) << sector_shift;
    if (offset >= file_size) return DamagedFile("a sector lies beyond the end of the file");
    const std::span<uint8_t> run = data.subspan(i * ss, (j - i) * ss);
    const size_t length = static_cast<size_t>(std::min<uint64_t>(run.size(), file_size - offset));
    MKX_TRY(file.ReadAt(offset, run.first(length)));
    std::fill(run.begin() + static_cast<ptrdiff_t>(length), run.end(), fill);  // a short last sector
    i = j;
  }
  return Ok{};
}

Status WriteSectors(platform::RandomAccessFile& file, uint32_t sector_shift,
                    const std::vector<uint32_t>& sectors, std::span<const uint8_t> data) {
  const size_t ss = size_t{1} << sector_shift;
  size_t i = 0;
  while (i < sectors.size()) {
    size_t j = i + 1;
    while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
    const uint64_t offset = (static_cast<uint64_t>(sectors[i]) + 1) << sector_shift;
    MKX_TRY(file.WriteAt(offset, data.subspan(i * ss, (j - i) * ss)));
    i = j;
  }
  return Ok{};
}

void CompoundWriter::AddStream(std::u16string name, std::vector<uint8_t> data) {
  streams_.emplace_back(std::move(name), std::move(data));
}

Status CompoundWriter::WriteTo(platform::RandomAccessFile& file) const {
  CompoundFileImpl target(nullptr, &file);
  target.InitEmpty(clsid_);
  std::vector<StreamChange> changes;
  changes.reserve(streams_.size());
  for (const auto& [name, data] : streams_) changes.push_back(StreamChange{name, data});
  return target.Commit(changes);
}

}  // namespace mkx::compound
