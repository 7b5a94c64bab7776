// Reading the FAT of a compound file through a window (see FatReader).

#include "engine/compound/compound_internal.h"

namespace mkx::compound {

FatReader::FatReader(platform::RandomAccessFile& file, uint32_t sector_shift,
                     std::span<const uint32_t> locations)
    : file_(file), sector_shift_(sector_shift), eps_((1u << sector_shift) / 4), locations_(locations) {}

Result<std::span<const uint32_t>> FatReader::Sector(size_t k) {
  auto first = Get(static_cast<uint32_t>(k * eps_));
  if (!first.ok()) return first.take_error();
  used_ += eps_ - 1;
  return std::span<const uint32_t>(window_).subspan(static_cast<size_t>(k * eps_ - first_), eps_);
}

Result<FatReader::Run> FatReader::RunFrom(uint32_t index, uint32_t most) {
  Run run;
  do {
    auto next = Get(index + run.length);  // reads the next window when needed
    if (!next.ok()) return next.take_error();
    run.next = *next;
    ++run.length;
    // The rest of the window is looked at directly, not through a call per entry.
    const uint64_t from = index + run.length - first_;
    uint64_t at = from;
    for (; run.length < most && run.next == index + run.length && at < window_.size(); ++at) {
      run.next = window_[at];
      ++run.length;
    }
    used_ += at - from;
  } while (run.length < most && run.next == index + run.length);
  return run;
}

Result<uint32_t> FatReader::Load(uint32_t index) {
  constexpr size_t kMaxWindowBytes = 64 * 1024;
  const size_t k = index / eps_;
  const size_t most = std::min(std::max<size_t>(1, kMaxWindowBytes >> sector_shift_), locations_.size() - k);
  const size_t count = std::clamp<size_t>(static_cast<size_t>(2 * used_ / eps_), 1, most);
  window_.resize(count * eps_);
  const std::span<uint8_t> bytes(reinterpret_cast<uint8_t*>(window_.data()), window_.size() * 4);
  Status read = ReadSectors(file_, sector_shift_, locations_.subspan(k, count), 0xFF, bytes);
  if (!read.ok()) {
    window_.clear();
    return read.error();
  }
  for (uint32_t& entry : window_) entry = format::Get32(reinterpret_cast<const uint8_t*>(&entry));
  first_ = static_cast<uint64_t>(k) * eps_;
  used_ = 0;
  return Get(index);
}

}  // namespace mkx::compound
