// Reading compound files: header validation, DIFAT/FAT/mini FAT/directory loading and
// lazy, validated stream reads.
//
// Open reads only the structures (never stream contents) and checks every field it
// depends on, and every chain: each ends with end-of-chain at its declared length and
// no sector belongs to two of them (compound_allocation.cpp), so a stream size that
// the file cannot hold is rejected before anything is allocated for it.
// The last sector of a file may be short: reads of bytes that exist are fine, and
// structures in a short sector read as if padded with empty entries.

#include <algorithm>

#include "engine/compound/compound_internal.h"
#include "platform/wide.h"

namespace mkx::compound {

using namespace format;
using platform::FromAscii;

Error DamagedFile(const std::string& detail) {
  return Error(result_code::kOpenFailed, 2203, u"Cannot open the compound file: [2].",
               {FromAscii(detail)});
}

Error DamagedStream(std::u16string_view name, const std::string& detail) {
  return Error(result_code::kReadFault, 2203, u"Cannot read the stream [2] of the compound file: [3].",
               {std::u16string(name), FromAscii(detail)});
}

CompoundFileImpl::CompoundFileImpl(std::unique_ptr<platform::RandomAccessFile> owned,
                                   platform::RandomAccessFile* file)
    : owned_(std::move(owned)), file_(file) {}

Result<std::unique_ptr<CompoundFile>> CompoundFile::Open(
    std::unique_ptr<platform::RandomAccessFile> file) {
  if (!file) return Error(result_code::kInvalidParameter);
  platform::RandomAccessFile* raw = file.get();
  auto impl = std::make_unique<CompoundFileImpl>(std::move(file), raw);
  MKX_TRY(impl->Load());
  return std::unique_ptr<CompoundFile>(std::move(impl));
}

uint32_t CompoundFileImpl::FileSectorCount() const {
  const uint64_t size = file_->Size();
  const uint64_t ss = state_.sector_size();
  if (size <= ss) return 0;
  const uint64_t count = (size - ss + ss - 1) / ss;
  return static_cast<uint32_t>(std::min<uint64_t>(count, kMaxRegularSector));
}

void CompoundFileImpl::InitEmpty(const Clsid& root_clsid) {
  FileState s;
  DirEntry root;
  root.name = u"Root Entry";
  root.type = kTypeRoot;
  root.color = kBlack;
  root.clsid = root_clsid;
  s.entries.push_back(root);
  InstallState(std::move(s));
}

void CompoundFileImpl::InstallState(FileState state) {
  state_ = std::move(state);
  child_index_.clear();
  for (uint32_t id : state_.root_children) child_index_.emplace(state_.entries[id].name, id);
  chain_cache_.clear();
}

Status CompoundFileImpl::ReadStructure(const std::vector<uint32_t>& chain, uint8_t fill,
                                       std::vector<uint8_t>& out) const {
  const size_t sector_size = state_.sector_size();
  if (chain.size() > SIZE_MAX / sector_size) return DamagedFile("a chain is larger than this process can address");
  out.resize(chain.size() * sector_size);
  return ReadSectors(*file_, state_.header.sector_shift, chain, fill, out);
}

Status CompoundFileImpl::Load() {
  const uint64_t file_size = file_->Size();
  if (file_size < kHeaderSize) return DamagedFile("the file is too small");
  std::array<uint8_t, kHeaderSize> raw{};
  MKX_TRY(file_->ReadAt(0, raw));
  FileState s;
  Header& h = s.header;
  if (!ParseHeader(raw.data(), h)) return DamagedFile("bad signature or byte order");
  if (h.major_version != 3 && h.major_version != 4) return DamagedFile("unknown version");
  if (h.sector_shift != (h.major_version == 3 ? 9 : 12)) return DamagedFile("bad sector size");
  if (h.mini_sector_shift != 6) return DamagedFile("bad mini sector size");
  if (h.mini_stream_cutoff != kMiniStreamCutoff) return DamagedFile("bad mini stream cutoff");
  state_.header = h;  // sector geometry for the helpers below
  const uint32_t file_sectors = FileSectorCount();
  const uint32_t eps = s.fat_entries_per_sector();
  if (h.num_fat_sectors == 0 || h.num_fat_sectors > file_sectors) {
    return DamagedFile("bad FAT sector count");
  }
  if (h.num_difat_sectors > file_sectors) return DamagedFile("bad DIFAT sector count");

  // FAT sector locations: 109 in the header, the rest in chained DIFAT sectors; the
  // DIFAT chain has exactly the declared number of sectors and ends with end-of-chain.
  for (size_t i = 0; i < kHeaderDifatCount && s.fat_sectors.size() < h.num_fat_sectors; ++i) {
    s.fat_sectors.push_back(h.difat[i]);
  }
  uint32_t next_difat = h.first_difat_sector;
  while (s.fat_sectors.size() < h.num_fat_sectors) {
    if (s.difat_sectors.size() == h.num_difat_sectors) return DamagedFile("the DIFAT is shorter than the FAT");
    if (next_difat >= file_sectors) return DamagedFile("the DIFAT chain leaves the file");
    s.difat_sectors.push_back(next_difat);
    std::vector<uint8_t> bytes;
    MKX_TRY(ReadStructure({next_difat}, 0xFF, bytes));
    for (uint32_t i = 0; i + 1 < eps && s.fat_sectors.size() < h.num_fat_sectors; ++i) {
      s.fat_sectors.push_back(Get32(bytes.data() + 4 * i));
    }
    next_difat = Get32(bytes.data() + 4 * (eps - 1));
  }
  if (s.difat_sectors.size() != h.num_difat_sectors || next_difat != kEndOfChain) {
    return DamagedFile("the DIFAT chain does not end at its declared length");
  }
  for (uint32_t loc : s.fat_sectors) {
    if (loc >= file_sectors) return DamagedFile("a FAT sector lies beyond the end of the file");
  }
  SectorClaims claims(FatReader(*file_, h.sector_shift, s.fat_sectors),
                      static_cast<uint32_t>(std::min<uint64_t>(file_sectors, s.fat_entries())));
  MKX_TRY(claims.ClaimMarked(s.fat_sectors, kFatSector, "a FAT sector"));
  MKX_TRY(claims.ClaimMarked(s.difat_sectors, kDifatSector, "a DIFAT sector"));

  // Directory.
  {
    auto chain = claims.Follow(h.first_dir_sector, std::nullopt, "the directory chain");
    if (!chain.ok()) return chain.take_error();
    if (chain->empty()) return DamagedFile("the directory is empty");
    s.dir_chain = std::move(*chain);
    std::vector<uint8_t> bytes;
    MKX_TRY(ReadStructure(s.dir_chain, 0, bytes));
    const size_t count = bytes.size() / kDirEntrySize;
    s.entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      s.entries.push_back(ParseDirEntry(bytes.data() + i * kDirEntrySize, s.version3()));
    }
    if (s.entries[0].type != kTypeRoot) return DamagedFile("the first directory entry is not the root");
    if (s.version3()) s.entries[0].size &= 0xFFFFFFFFu;
  }

  // Mini FAT.
  {
    auto chain = claims.Follow(h.first_minifat_sector, h.num_minifat_sectors, "the mini FAT chain");
    if (!chain.ok()) return chain.take_error();
    s.minifat_chain = std::move(*chain);
    std::vector<uint8_t> bytes;
    MKX_TRY(ReadStructure(s.minifat_chain, 0xFF, bytes));
    s.minifat.resize(bytes.size() / 4);
    for (size_t i = 0; i < s.minifat.size(); ++i) s.minifat[i] = Get32(bytes.data() + 4 * i);
  }

  MKX_TRY(claims.ClaimStreams(s));
  InstallState(std::move(s));
  return WalkRootTree();
}

Status CompoundFileImpl::WalkRootTree() {
  // In-order walk of the root's sibling tree, iterative, each id visited at most once.
  std::vector<uint32_t> order;
  std::vector<bool> seen(state_.entries.size(), false);
  std::vector<uint32_t> stack;
  auto push_left_spine = [&](uint32_t id) -> Status {
    while (id != kNoStream) {
      if (id == 0 || id >= state_.entries.size()) return DamagedFile("a directory link is out of range");
      if (seen[id]) return DamagedFile("the directory tree has a cycle");
      seen[id] = true;
      const DirEntry& e = state_.entries[id];
      if (e.type != kTypeStream && e.type != kTypeStorage) {
        return DamagedFile("a directory link points to an unused entry");
      }
      if (!e.name_valid) return DamagedFile("a directory entry has a bad name length");
      stack.push_back(id);
      id = e.left;
    }
    return Ok{};
  };
  MKX_TRY(push_left_spine(state_.entries[0].child));
  while (!stack.empty()) {
    uint32_t id = stack.back();
    stack.pop_back();
    // The walk of a sound tree meets the names in ascending order, each once: a name
    // out of order, or repeated, would be found by one reader and not by another.
    if (!order.empty() && CompareEntryNames(state_.entries[order.back()].name, state_.entries[id].name) >= 0) {
      return DamagedFile("the directory's names are out of order or repeated");
    }
    order.push_back(id);
    MKX_TRY(push_left_spine(state_.entries[id].right));
  }
  FileState s = std::move(state_);
  s.root_children = std::move(order);
  InstallState(std::move(s));
  return Ok{};
}

std::vector<EntryInfo> CompoundFileImpl::RootEntries() const {
  std::vector<EntryInfo> out;
  out.reserve(state_.root_children.size());
  for (uint32_t id : state_.root_children) {
    const DirEntry& e = state_.entries[id];
    EntryInfo info;
    info.name = e.name;
    info.kind = e.type == kTypeStorage ? EntryKind::kStorage : EntryKind::kStream;
    info.size = e.type == kTypeStream ? e.size : 0;
    info.clsid = e.clsid;
    out.push_back(std::move(info));
  }
  return out;
}

std::optional<uint32_t> CompoundFileImpl::FindChild(std::u16string_view name) const {
  auto it = child_index_.find(name);
  if (it == child_index_.end()) return std::nullopt;
  return it->second;
}

std::optional<EntryInfo> CompoundFileImpl::FindStream(std::u16string_view name) const {
  auto id = FindChild(name);
  if (!id || state_.entries[*id].type != kTypeStream) return std::nullopt;
  const DirEntry& e = state_.entries[*id];
  return EntryInfo{e.name, EntryKind::kStream, e.size, e.clsid};
}

// Open proved every chain sound (compound_allocation.cpp) and a commit writes only
// sound ones, so these walks check bounds, not loops: each takes exactly the steps
// its size needs.
Result<Chain> CompoundFileImpl::RegularChain(uint32_t id) const {
  {
    auto it = chain_cache_.find(id);
    if (it != chain_cache_.end()) return it->second;
  }
  const DirEntry& e = state_.entries[id];
  const uint32_t ss = state_.sector_size();
  FatReader fat(*file_, state_.header.sector_shift, state_.fat_sectors);
  const uint32_t limit = std::min<uint64_t>(FileSectorCount(), fat.size());
  const uint64_t needed = UnitsFor(e.size, ss);
  if (needed > limit) return DamagedStream(e.name, "its size exceeds the file");
  std::vector<uint32_t> chain;
  chain.reserve(needed);
  uint32_t s = e.start;
  for (uint64_t i = 0; i < needed; ++i) {
    if (s == kEndOfChain) return DamagedStream(e.name, "its sector chain is shorter than its size");
    if (s >= limit) return DamagedStream(e.name, "its sector chain leaves the file");
    chain.push_back(s);
    auto next = fat.Get(s);
    if (!next.ok()) return DamagedStream(e.name, "a FAT sector of its chain cannot be read");
    s = *next;
  }
  return chain_cache_.emplace(id, std::make_shared<const std::vector<uint32_t>>(std::move(chain))).first->second;
}

Result<Chain> CompoundFileImpl::MiniChain(uint32_t id) const {
  {
    auto it = chain_cache_.find(id);
    if (it != chain_cache_.end()) return it->second;
  }
  const DirEntry& e = state_.entries[id];
  const uint64_t mini_capacity = UnitsFor(state_.entries[0].size, kMiniSectorSize);
  const uint64_t limit = std::min<uint64_t>(state_.minifat.size(), mini_capacity);
  const uint64_t needed = UnitsFor(e.size, kMiniSectorSize);
  std::vector<uint32_t> chain;
  uint32_t s = e.start;
  for (uint64_t i = 0; i < needed; ++i) {
    if (s == kEndOfChain) return DamagedStream(e.name, "its mini sector chain is shorter than its size");
    if (s >= limit) return DamagedStream(e.name, "its mini sector chain leaves the mini stream");
    chain.push_back(s);
    s = state_.minifat[s];
  }
  return chain_cache_.emplace(id, std::make_shared<const std::vector<uint32_t>>(std::move(chain))).first->second;
}

Status CompoundFileImpl::ReadEntry(uint32_t id, uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return Ok{};
  const DirEntry& e = state_.entries[id];
  const uint64_t file_size = file_->Size();
  const uint32_t shift = state_.header.sector_shift;
  const uint32_t ss = state_.sector_size();

  if (!IsMini(e)) {
    auto chain = RegularChain(id);
    if (!chain.ok()) return chain.take_error();
    const std::vector<uint32_t>& c = **chain;
    size_t done = 0;
    while (done < out.size()) {
      const uint64_t pos = offset + done;
      size_t index = static_cast<size_t>(pos >> shift);
      const uint32_t in_sector = static_cast<uint32_t>(pos & (ss - 1));
      // Extend the run over physically adjacent sectors.
      size_t end = index + 1;
      uint64_t run_bytes = ss - in_sector;
      while (run_bytes < out.size() - done && end < c.size() && c[end] == c[end - 1] + 1) {
        ++end;
        run_bytes += ss;
      }
      const size_t length = static_cast<size_t>(std::min<uint64_t>(run_bytes, out.size() - done));
      const uint64_t file_offset = SectorOffset(c[index]) + in_sector;
      if (file_offset + length > file_size) return DamagedStream(e.name, "it runs past the end of the file");
      MKX_TRY(file_->ReadAt(file_offset, out.subspan(done, length)));
      done += length;
    }
    return Ok{};
  }

  auto mini = MiniChain(id);
  if (!mini.ok()) return mini.take_error();
  auto root_chain = RegularChain(0);
  if (!root_chain.ok()) return root_chain.take_error();
  const uint64_t mini_size = state_.entries[0].size;
  // Where byte `pos` of the stream lies in the file; mini sectors that follow each
  // other in the file are read together (one call, not one per 64 bytes).
  auto locate = [&](uint64_t pos, size_t length, uint64_t& file_offset) -> Status {
    const uint32_t in_mini = static_cast<uint32_t>(pos % kMiniSectorSize);
    const uint64_t stream_pos = static_cast<uint64_t>((**mini)[pos / kMiniSectorSize]) * kMiniSectorSize + in_mini;
    if (stream_pos + length > mini_size) return DamagedStream(e.name, "it runs past the end of the mini stream");
    file_offset = SectorOffset((**root_chain)[stream_pos >> shift]) + (stream_pos & (ss - 1));
    if (file_offset + length > file_size) return DamagedStream(e.name, "it runs past the end of the file");
    return Ok{};
  };
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t pos = offset + done;
    size_t length = std::min<size_t>(kMiniSectorSize - pos % kMiniSectorSize, out.size() - done);
    uint64_t file_offset = 0;
    MKX_TRY(locate(pos, length, file_offset));
    while (done + length < out.size()) {
      const size_t next = std::min<size_t>(kMiniSectorSize, out.size() - done - length);
      uint64_t next_offset = 0;
      MKX_TRY(locate(pos + length, next, next_offset));
      if (next_offset != file_offset + length) break;
      length += next;
    }
    MKX_TRY(file_->ReadAt(file_offset, out.subspan(done, length)));
    done += length;
  }
  return Ok{};
}

Result<std::vector<uint8_t>> CompoundFileImpl::ReadStream(std::u16string_view name) const {
  auto id = FindChild(name);
  if (!id || state_.entries[*id].type != kTypeStream) {
    return Error(result_code::kFileNotFound, 2203, u"The compound file has no stream [2].",
                 {std::u16string(name)});
  }
  const DirEntry& e = state_.entries[*id];
  // Validate the chain before allocating: its length proves the size is real.
  if (IsMini(e)) {
    auto c = MiniChain(*id);
    if (!c.ok()) return c.take_error();
  } else {
    auto c = RegularChain(*id);
    if (!c.ok()) return c.take_error();
  }
  if (e.size != static_cast<size_t>(e.size)) {  // more than this process can address (a 32-bit build)
    return Error(result_code::kNotEnoughMemory, 2203, u"The stream [2] is too large to be read.", {std::u16string(name)});
  }
  std::vector<uint8_t> data(static_cast<size_t>(e.size));
  MKX_TRY(ReadEntry(*id, 0, data));
  return data;
}

Status CompoundFileImpl::ReadStreamRange(std::u16string_view name, uint64_t offset,
                                         std::span<uint8_t> out) const {
  auto id = FindChild(name);
  if (!id || state_.entries[*id].type != kTypeStream) {
    return Error(result_code::kFileNotFound, 2203, u"The compound file has no stream [2].",
                 {std::u16string(name)});
  }
  const DirEntry& e = state_.entries[*id];
  if (offset > e.size || out.size() > e.size - offset) {
    return Error(result_code::kReadFault, 2203, u"A read of stream [2] runs past its end.",
                 {std::u16string(name)});
  }
  return ReadEntry(*id, offset, out);
}

}  // namespace mkx::compound
