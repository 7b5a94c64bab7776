// Test helpers for the compound-file tests: an in-memory RandomAccessFile that can
// fail after a number of writes, and an olefile-based independent listing of a file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/compound/compound_file.h"
#include "platform/file.h"

namespace mkx::compound::test {

/// A file held in memory. Shares its bytes with the creator through `bytes`, so a
/// test can inspect them after the CompoundFile owns the file. After `writes_left`
/// successful WriteAt calls every further write (and Sync/Truncate) fails, leaving
/// the bytes as they were: a crash at that point.
class MemoryFile final : public platform::RandomAccessFile {
 public:
  explicit MemoryFile(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable = true,
                      int64_t writes_left = -1)
      : bytes_(std::move(bytes)), writable_(writable), writes_left_(writes_left) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override;
  uint64_t Size() const override { return bytes_->size(); }
  Status Sync() override;
  Status Truncate(uint64_t size) override;
  bool writable() const override { return writable_; }

  int writes() const { return writes_; }
  int syncs() const { return syncs_; }
  uint64_t bytes_written() const { return bytes_written_; }

 private:
  bool Crashed() const { return writes_left_ == 0; }
  std::shared_ptr<std::vector<uint8_t>> bytes_;
  bool writable_;
  int64_t writes_left_;
  int writes_ = 0;
  int syncs_ = 0;
  uint64_t bytes_written_ = 0;
};

/// One root stream as an independent reader sees it.
struct OracleStream {
  std::u16string name;
  std::vector<uint8_t> data;
};

/// Lists the root streams of `path` with olefile (sorted by name), reading their bytes.
/// Fails the current test (and returns empty) when olefile cannot read the file.
std::vector<OracleStream> OleFileStreams(const std::string& path);

/// Opens `path` read-only (or read-write) as a compound file; fails the test if not.
std::unique_ptr<CompoundFile> OpenOrFail(const std::string& path, bool writable = false);

/// Reads every root stream with our reader, sorted by name.
std::vector<OracleStream> OurStreams(const CompoundFile& file);

/// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

}  // namespace mkx::compound::test
