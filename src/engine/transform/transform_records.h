// The building blocks of a transform's streams: its private string pool and its
// row-major change records.
//
// A transform carries its own string pool, unrelated to either database's: strings
// are numbered from 1 in the order they are first used, each with a reference count
// equal to the number of record fields that refer to it (never 0 for a used string:
// a reader takes a 0 count for an unused slot). Once it holds more than 65535 strings,
// references become 3 bytes wide (header bit 31) in every record.
//
// A record is a 16-bit mask followed by fields:
//  - INSERT: mask 0x0001 | (columns << 8), then every column;
//  - UPDATE: bit n-1 for each changed column n (2..16), then the key columns, then
//    the changed columns, in column order;
//  - DELETE: mask 0, then the key columns.
// Integer fields carry the database's stored (biased) cells, 2 or 4 bytes; a stream
// column's field is 2 bytes (1 = data present).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/string_pool.h"
#include "engine/table.h"

namespace mkx::engine {

/// The transform's own string pool: a StringPool that starts empty (so ids follow
/// the order of first use), with a reference count per string.
class TransformStringPool {
 public:
  explicit TransformStringPool(uint32_t codepage) : strings_(codepage) {}

  /// Counts one reference to the string, adding it at the end on first use.
  /// Returns its id; the empty string is null (0) and is not stored.
  uint32_t Use(std::string_view bytes);

  uint32_t codepage() const { return strings_.codepage(); }
  size_t size() const { return strings_.slot_count() - 1; }
  /// Whether references must be 3 bytes: more strings than a 2-byte index can reach.
  bool long_refs() const { return strings_.long_refs(); }
  unsigned ref_width() const { return strings_.ref_width(); }
  std::string_view Bytes(uint32_t id) const { return strings_.Bytes(id); }

  /// The _StringPool and _StringData streams. Strings over 65535 bytes take the
  /// two-entry form; counts above 65535 are written as 65535.
  void Serialize(std::vector<uint8_t>& pool_stream, std::vector<uint8_t>& data_stream) const {
    strings_.Serialize(counts_, pool_stream, data_stream);
  }

 private:
  StringPool strings_;
  std::vector<uint32_t> counts_{0};  // by id; slot 0 is null
};

/// One field of a record. `value` is a transform string id for kString, the stored
/// (biased) cell for integers, 0 or 1 for kStream.
struct RecordField {
  CellKind kind = CellKind::kString;
  uint32_t value = 0;
};

struct TransformRecord {
  uint16_t mask = 0;
  std::vector<RecordField> fields;
};

namespace record_mask {
inline constexpr uint16_t kDelete = 0x0000;
inline constexpr uint16_t Insert(size_t columns) { return static_cast<uint16_t>(0x0001 | (columns << 8)); }
/// The UPDATE bit of 1-based column `n` (n <= 16).
inline constexpr uint16_t UpdateBit(size_t n) { return static_cast<uint16_t>(1u << (n - 1)); }
}  // namespace record_mask

/// Largest column number an UPDATE mask can flag.
inline constexpr size_t kMaxUpdatableColumn = 16;

/// Appends the encoded record; string fields take `string_ref_width` bytes.
void EncodeRecord(const TransformRecord& record, unsigned string_ref_width, std::vector<uint8_t>& out);

/// Reads the records of a table stream back, given the table's column kinds in order
/// and its key column count (the inverse of EncodeRecord, for checks and tools).
/// Fails with result_code::kInvalidData if the stream does not end on a record boundary.
Result<std::vector<TransformRecord>> DecodeRecords(std::span<const uint8_t> stream,
                                                   std::span<const CellKind> columns, size_t key_count,
                                                   unsigned string_ref_width);

}  // namespace mkx::engine
