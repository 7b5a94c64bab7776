// Compound files (MS-CFB): reading, in-place commit, and creation.
//
// CompoundFile reads a version 3 (512-byte sectors) or version 4 (4096-byte sectors)
// file lazily: opening reads the header, the FAT, DIFAT, mini FAT and directory,
// never stream contents. Every structural field and every chain is validated (each
// chain ends with end-of-chain at its declared length, no sector is in two); a damaged
// file gives result_code::kOpenFailed (at open) or result_code::kReadFault/result_code::kFunctionFailed (at
// a read), never a crash, a hang or an allocation sized by an unchecked claim of it.
//
// Commit replaces, adds or removes streams of the root storage in place:
//  (1) sectors of unchanged streams are never touched;
//  (2) no sector the last committed state uses is overwritten before the header is
//      written: new data goes to sectors that were free or are appended;
//  (3) the header is written last, after everything it refers to is on disk, so a
//      crash during commit leaves the previous state readable;
//  (4) sectors the old state used become free only after the header is written.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/result.h"

namespace mkx::compound {

using Clsid = std::array<uint8_t, 16>;

enum class EntryKind { kStream, kStorage };

struct EntryInfo {
  std::u16string name;  // raw directory name (UTF-16 units as stored)
  EntryKind kind = EntryKind::kStream;
  uint64_t size = 0;    // stream size in bytes (0 for storages)
  Clsid clsid{};
};

/// One change for Commit: `data` replaces (or creates) the stream `name` of the root
/// storage; no data removes it.
struct StreamChange {
  std::u16string name;
  std::optional<std::vector<uint8_t>> data;
};

class CompoundFile {
 public:
  virtual ~CompoundFile() = default;

  /// Opens an existing compound file. With a read-only file nothing is ever written.
  static Result<std::unique_ptr<CompoundFile>> Open(std::unique_ptr<platform::RandomAccessFile> file);

  virtual const Clsid& RootClsid() const = 0;
  /// The entries directly inside the root storage, in directory order.
  virtual std::vector<EntryInfo> RootEntries() const = 0;
  /// A stream directly inside the root storage, by its raw name.
  virtual std::optional<EntryInfo> FindStream(std::u16string_view name) const = 0;

  /// Reads a whole stream of the root storage. Only for streams that are meant to be
  /// held in memory (tables, string pool, summary information).
  virtual Result<std::vector<uint8_t>> ReadStream(std::u16string_view name) const = 0;
  /// Reads out.size() bytes of a stream from offset; fails if that runs past its end.
  virtual Status ReadStreamRange(std::u16string_view name, uint64_t offset,
                                 std::span<uint8_t> out) const = 0;

  /// Applies the changes in place (see the invariants above). Streams not named keep
  /// their sectors. Fails with result_code::kFunctionFailed on a read-only file.
  virtual Status Commit(std::span<const StreamChange> changes) = 0;
};

/// Builds a new compound file (version 3, 512-byte sectors; streams under 4096 bytes
/// in the mini stream) holding streams in its root storage.
class CompoundWriter {
 public:
  void SetRootClsid(const Clsid& clsid) { clsid_ = clsid; }
  /// Adds a stream to the root storage. Names must be unique and at most 31 units.
  void AddStream(std::u16string name, std::vector<uint8_t> data);
  /// Writes the whole file to `file` (which should be empty) and syncs it.
  Status WriteTo(platform::RandomAccessFile& file) const;

 private:
  Clsid clsid_{};
  std::vector<std::pair<std::u16string, std::vector<uint8_t>>> streams_;
};

/// Compares two directory names the way MS-CFB orders siblings: shorter names first,
/// then by upper-cased UTF-16 units.
int CompareEntryNames(std::u16string_view a, std::u16string_view b);

}  // namespace mkx::compound
