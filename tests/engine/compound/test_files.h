// Test helpers for the compound-file tests: an in-memory RandomAccessFile that can
// fail after a number of writes, and an olefile-based independent listing of a file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/compound/compound_file.h"
#include "platform/file.h"

namespace mkx::compound::test {

/// A file held in memory; shares its bytes with the creator through `bytes`, so a test
/// can inspect them after the CompoundFile owns the file.
class MemoryFile final : public platform::RandomAccessFile {
 public:
  explicit MemoryFile(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable = true)
      : bytes_(std::move(bytes)), writable_(writable) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override;
  uint64_t Size() const override { return bytes_->size(); }
  Status Sync() override { return Ok{}; }
  Status Truncate(uint64_t size) override;
  bool writable() const override { return writable_; }

 private:
  std::shared_ptr<std::vector<uint8_t>> bytes_;
  bool writable_;
};

/// Wraps another file, records every write and counts reads. With `writes_allowed`
/// set, that many writes succeed and then every write, Sync and Truncate fails with
/// the file left as it was: a crash at that point.
class FaultyFile final : public platform::RandomAccessFile {
 public:
  struct Write {
    uint64_t offset;
    uint64_t size;
  };
  explicit FaultyFile(std::unique_ptr<platform::RandomAccessFile> inner, int64_t writes_allowed = -1)
      : inner_(std::move(inner)), writes_left_(writes_allowed) {}

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override;
  uint64_t Size() const override { return inner_->Size(); }
  Status Sync() override;
  Status Truncate(uint64_t size) override;
  bool writable() const override { return inner_->writable(); }

  /// Shared so the test keeps them after the CompoundFile took the file.
  struct Log {
    std::vector<Write> writes;
    int syncs = 0;
    uint64_t bytes_read = 0;
    uint64_t bytes_written = 0;
  };
  std::shared_ptr<Log> log() const { return log_; }

 private:
  bool Crashed() const { return writes_left_ == 0; }
  std::unique_ptr<platform::RandomAccessFile> inner_;
  int64_t writes_left_;
  std::shared_ptr<Log> log_ = std::make_shared<Log>();
};

/// One root stream as an independent reader sees it.
struct OracleStream {
  std::u16string name;
  std::vector<uint8_t> data;
};

/// Lists the root streams of `path` with olefile (sorted by name), reading their bytes.
/// Fails the current test (and returns empty) when olefile cannot read the file.
std::vector<OracleStream> OleFileStreams(const std::string& path);

/// The FAT and the sector chains of the regular-sector root streams, as olefile sees
/// them (an independent view of where each stream lives).
struct OleLayout {
  std::vector<uint32_t> fat;
  std::map<std::u16string, std::vector<uint32_t>> chains;
};
OleLayout OleFileLayout(const std::string& path);

/// Opens `path` read-only (or read-write) as a compound file; fails the test if not.
std::unique_ptr<CompoundFile> OpenOrFail(const std::string& path, bool writable = false);

/// Reads every root stream with our reader, sorted by name.
std::vector<OracleStream> OurStreams(const CompoundFile& file);

/// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

}  // namespace mkx::compound::test
