// The FAT of a compound file, read one sector at a time on first use.

#include "engine/compound/compound_internal.h"

namespace mkx::compound {

using namespace format;

FatTable::FatTable(const platform::RandomAccessFile* file, uint32_t sector_shift,
                   std::vector<uint32_t> locations)
    : file_(file),
      sector_shift_(sector_shift),
      eps_((1u << sector_shift) / 4),
      locations_(std::move(locations)),
      sectors_(locations_.size()) {}

Status FatTable::ReadSectors(size_t first, size_t count, std::vector<uint8_t>& buffer) const {
  const size_t ss = size_t{1} << sector_shift_;
  buffer.assign(count * ss, 0xFF);
  const uint64_t offset = (static_cast<uint64_t>(locations_[first]) + 1) << sector_shift_;
  const uint64_t file_size = file_->Size();
  if (offset >= file_size) return DamagedFile("a FAT sector lies beyond the end of the file");
  const uint64_t length = std::min<uint64_t>(buffer.size(), file_size - offset);  // short last sector
  return const_cast<platform::RandomAccessFile*>(file_)->ReadAt(
      offset, std::span<uint8_t>(buffer.data(), static_cast<size_t>(length)));
}

Result<std::shared_ptr<FatTable::Entries>> FatTable::Load(size_t k) const {
  if (sectors_[k]) return sectors_[k];
  std::vector<uint8_t> raw;
  MKX_TRY(ReadSectors(k, 1, raw));
  auto entries = std::make_shared<Entries>(eps_);
  for (uint32_t e = 0; e < eps_; ++e) (*entries)[e] = Get32(raw.data() + 4 * e);
  sectors_[k] = entries;
  return entries;
}

Result<std::shared_ptr<const FatTable::Entries>> FatTable::Sector(size_t k) const {
  auto loaded = Load(k);
  if (!loaded.ok()) return loaded.take_error();
  return std::shared_ptr<const Entries>(std::move(loaded).value());
}

Result<uint32_t> FatTable::Get(uint32_t index) const {
  auto loaded = Load(index / eps_);
  if (!loaded.ok()) return loaded.take_error();
  return (**loaded)[index % eps_];
}

Status FatTable::Set(uint32_t index, uint32_t value) {
  const size_t k = index / eps_;
  {
    auto loaded = Load(k);
    if (!loaded.ok()) return loaded.take_error();
  }
  std::shared_ptr<Entries>& sector = sectors_[k];
  if (sector.use_count() > 1) sector = std::make_shared<Entries>(*sector);  // another table or a reader holds it
  (*sector)[index % eps_] = value;
  return Ok{};
}

Status FatTable::LoadAll() {
  return Scan(0, sectors_.size(), [&](uint64_t first, std::span<const uint32_t> entries) {
    std::shared_ptr<Entries>& sector = sectors_[first / eps_];
    if (!sector) sector = std::make_shared<Entries>(entries.begin(), entries.end());
  });
}

void FatTable::Grow(uint64_t entries) {
  while (static_cast<uint64_t>(sectors_.size()) * eps_ < entries) {
    sectors_.push_back(std::make_shared<Entries>(eps_, kFreeSector));
    locations_.push_back(kFreeSector);  // placed by the commit that writes it
  }
}

void FatTable::Relocate(size_t k, uint32_t location) {
  locations_[k] = location;
}

}  // namespace mkx::compound
