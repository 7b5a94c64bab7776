// The allocation check of open: which sectors and mini sectors the file's chains use.
//
// Guarantees, once Load has run every claim without an error:
//  (1) every chain (directory, mini FAT, the mini stream and every stream reachable
//      from the root, in the FAT or the mini FAT) ends with end-of-chain after
//      exactly the sectors its declared size needs; the directory, which declares no
//      length, ends with end-of-chain;
//  (2) no sector belongs to two chains, nor to a chain and the FAT or DIFAT, and no
//      mini sector belongs to two mini chains;
//  (3) every FAT sector is marked FATSECT and every DIFAT sector DIFSECT in the FAT.
// Hence a sector marked FREE (or a mini sector marked FREE) belongs to nothing live,
// which is what lets a commit reuse it. The cost is one bit per sector and one read
// of each FAT entry a chain passes through (FatReader: the FAT is not kept).

#include "engine/compound/compound_internal.h"

namespace mkx::compound {

using namespace format;

namespace {

/// Why a chain that still needs sectors cannot go on to `next`.
std::string BadLink(uint32_t next, const std::string& space) {
  switch (next) {
    case kEndOfChain: return "ends before its declared length";
    case kFreeSector: return "runs into a free " + space;
    case kFatSector: return "runs into a FAT sector";
    case kDifatSector: return "runs into a DIFAT sector";
    default: return "leaves the " + (space == "sector" ? std::string("file") : "mini stream");
  }
}

}  // namespace

SectorClaims::SectorClaims(FatReader fat, uint32_t sectors)
    : fat_(std::move(fat)), sectors_(sectors), used_((static_cast<size_t>(sectors) + 63) / 64, 0) {}

bool SectorClaims::Mark(uint32_t first, uint32_t count) {
  const uint64_t end = static_cast<uint64_t>(first) + count;
  for (uint64_t s = first; s < end;) {
    const uint64_t bits = std::min<uint64_t>(64 - s % 64, end - s);  // in the word of s
    const uint64_t mask = (~uint64_t{0} >> (64 - bits)) << (s % 64);
    if (used_[s / 64] & mask) return false;
    used_[s / 64] |= mask;
    s += bits;
  }
  return true;
}

Status SectorClaims::Claim(uint32_t sector, const std::string& what) {
  if (sector >= sectors_) return DamagedFile(what + " leaves the file");
  if (!Mark(sector, 1)) return DamagedFile(what + " uses a sector that is already in use");
  return Ok{};
}

Status SectorClaims::ClaimMarked(std::span<const uint32_t> sectors, uint32_t mark, const std::string& what) {
  for (uint32_t s : sectors) {
    MKX_TRY(Claim(s, what));
    auto entry = fat_.Get(s);
    if (!entry.ok()) return entry.take_error();
    if (*entry != mark) return DamagedFile(what + " is not marked as such in the FAT");
  }
  return Ok{};
}

Result<std::vector<uint32_t>> SectorClaims::Follow(uint32_t start, std::optional<uint64_t> count,
                                                   const std::string& what, bool keep) {
  if (count && *count > sectors_) return DamagedFile(what + " is longer than the file");
  std::vector<uint32_t> chain;
  if (keep && count) chain.reserve(static_cast<size_t>(*count));
  uint64_t length = 0;
  uint32_t s = start;
  while (count ? length < *count : s != kEndOfChain) {
    if (s >= sectors_) return DamagedFile(what + " " + BadLink(s, "sector"));
    // Sectors that follow one another in the file are claimed a run at a time.
    const uint64_t most = std::min<uint64_t>(sectors_ - s, count ? *count - length : sectors_);
    auto run = fat_.RunFrom(s, static_cast<uint32_t>(most));
    if (!run.ok()) return run.take_error();
    if (!Mark(s, run->length)) return DamagedFile(what + " uses a sector that is already in use, or loops");
    for (uint32_t i = 0; keep && i < run->length; ++i) chain.push_back(s + i);
    length += run->length;
    s = run->next;
  }
  if (s != kEndOfChain) return DamagedFile(what + " is longer than its declared length");
  return chain;
}

Status SectorClaims::ClaimStreams(const FileState& state) {
  const std::vector<DirEntry>& entries = state.entries;
  const uint32_t ss = state.sector_size();
  const DirEntry& root = entries[0];
  const uint64_t mini_sectors = std::min<uint64_t>(
      state.minifat.size(), UnitsFor(root.size, kMiniSectorSize));
  std::vector<bool> mini_used(static_cast<size_t>(mini_sectors), false);

  // An empty stream owns no sector; its start field is not looked at.
  // Streams are named by directory entry: their names are often not printable.
  auto claim = [&](uint32_t id) -> Status {
    const DirEntry& e = entries[id];
    if (e.size == 0) return Ok{};
    const std::string what = id == 0 ? "the mini stream" : "the chain of directory entry " + std::to_string(id);
    if (id == 0 || e.size >= state.header.mini_stream_cutoff) {
      auto chain = Follow(e.start, UnitsFor(e.size, ss), what, false);
      return chain.ok() ? Status(Ok{}) : Status(chain.take_error());
    }
    const uint64_t count = UnitsFor(e.size, kMiniSectorSize);
    if (count > mini_sectors) return DamagedFile(what + " is longer than the mini stream");
    uint32_t m = e.start;
    for (uint64_t i = 0; i < count; ++i) {
      if (m >= mini_sectors) return DamagedFile(what + " " + BadLink(m, "mini sector"));
      if (mini_used[m]) return DamagedFile(what + " uses a mini sector that is already in use, or loops");
      mini_used[m] = true;
      m = state.minifat[m];
    }
    if (m != kEndOfChain) return DamagedFile(what + " is longer than its declared length (mini stream)");
    return Ok{};
  };

  MKX_TRY(claim(0));
  // Every storage's sibling tree, from the root down; an entry reached twice (a
  // cycle, or an entry in two trees) makes the set of live streams ambiguous.
  std::vector<bool> seen(entries.size(), false);
  std::vector<uint32_t> pending{root.child};
  while (!pending.empty()) {
    const uint32_t id = pending.back();
    pending.pop_back();
    if (id == kNoStream) continue;
    if (id == 0 || id >= entries.size()) return DamagedFile("a directory link is out of range");
    if (seen[id]) return DamagedFile("a directory entry is reached twice");
    seen[id] = true;
    const DirEntry& e = entries[id];
    if (e.type == kTypeStream) {
      MKX_TRY(claim(id));
    } else if (e.type == kTypeStorage) {
      pending.push_back(e.child);
    } else {
      return DamagedFile("a directory link points to an unused entry");
    }
    pending.push_back(e.left);
    pending.push_back(e.right);
  }
  return Ok{};
}

}  // namespace mkx::compound
