// A random-access file held in memory: for building a file's bytes before any of
// them reaches the disk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace mkx::platform {

class MemoryFile final : public RandomAccessFile {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return Error(result_code::kReadFault);
    std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
    return Ok{};
  }
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override {
    if (offset + data.size() > bytes_.size()) bytes_.resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<ptrdiff_t>(offset));
    return Ok{};
  }
  uint64_t Size() const override { return bytes_.size(); }
  Status Sync() override { return Ok{}; }
  Status Truncate(uint64_t size) override {
    bytes_.resize(size);
    return Ok{};
  }
  bool writable() const override { return true; }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> take_bytes() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace mkx::platform
