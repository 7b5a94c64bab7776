// Shared pieces of the fuzz targets: an in-memory file with a size ceiling, and the
// steps every database target takes (open from bytes, decode every table).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/compound/compound_file.h"
#include "engine/database.h"
#include "platform/file.h"

namespace mkx::fuzz {

/// A file held in memory. Writes that would grow it past `limit` fail as a full disk
/// does, so a commit can never make the fuzzer allocate without bound.
class MemoryFile final : public platform::RandomAccessFile {
 public:
  MemoryFile(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable, uint64_t limit = 64u << 20)
      : bytes_(std::move(bytes)), writable_(writable), limit_(limit) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > bytes_->size() || out.size() > bytes_->size() - offset) return Error(result_code::kReadFault);
    std::copy_n(bytes_->begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
    return Ok{};
  }
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override {
    if (!writable_) return Error(result_code::kWriteFault);
    if (offset > limit_ || data.size() > limit_ - offset) return Error(result_code::kHandleDiskFull);
    if (offset + data.size() > bytes_->size()) bytes_->resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes_->begin() + static_cast<ptrdiff_t>(offset));
    return Ok{};
  }
  uint64_t Size() const override { return bytes_->size(); }
  Status Sync() override { return Ok{}; }
  Status Truncate(uint64_t size) override {
    if (!writable_) return Error(result_code::kWriteFault);
    if (size > limit_) return Error(result_code::kHandleDiskFull);
    bytes_->resize(size);
    return Ok{};
  }
  bool writable() const override { return writable_; }

 private:
  std::shared_ptr<std::vector<uint8_t>> bytes_;
  bool writable_;
  uint64_t limit_;
};

inline std::unique_ptr<platform::RandomAccessFile> MemoryCopy(const uint8_t* data, size_t size, bool writable) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(data, data + size);
  return std::make_unique<MemoryFile>(std::move(bytes), writable);
}

/// Opens the bytes as a database held in memory; null when they are refused.
inline std::unique_ptr<engine::Database> OpenDatabase(const uint8_t* data, size_t size, engine::OpenMode mode) {
  auto file = compound::CompoundFile::Open(MemoryCopy(data, size, mode == engine::OpenMode::kTransact));
  if (!file.ok()) return nullptr;
  auto db = engine::Database::Open(std::move(*file), mode, "fuzz.msi");
  if (!db.ok()) return nullptr;
  return std::move(*db);
}

/// Decodes every table of the catalog (and the catalog tables themselves); returns
/// the total number of cells seen so the work cannot be optimised away.
inline size_t DecodeEveryTable(engine::Database& db) {
  size_t cells = 0;
  std::vector<std::u16string> names = db.TableNames();
  names.push_back(u"_Tables");
  names.push_back(u"_Columns");
  for (const auto& name : names) {
    auto table = db.GetTable(name);
    if (!table.ok()) continue;
    engine::Table& t = **table;
    for (size_t row = 0; row < t.row_count(); ++row) {
      for (size_t col = 0; col < t.column_count(); ++col) cells += t.Cell(row, col) != 0;
    }
  }
  return cells;
}

}  // namespace mkx::fuzz
