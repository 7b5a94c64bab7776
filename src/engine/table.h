// Table schemas and in-memory tables.
//
// A table is held as raw cells, one uint32_t per cell, row-major:
//  - string column: string pool id (0 = null);
//  - 2-byte integer: (v + 0x8000) & 0xFFFF, 4-byte integer: v + 0x80000000 (0 = null);
//  - stream column: 1 when the row has data, 0 when null.
// These are the values stored in the file, so ordering rows by raw key cells gives
// the on-disk row order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/value.h"
#include "platform/result.h"

namespace mkx::engine {

class StringPool;

/// Bits of a column type word as stored in _Columns (after removing the 0x8000 bias).
namespace column_type {
inline constexpr uint16_t kWidthMask = 0x00FF;
inline constexpr uint16_t kValid = 0x0100;
inline constexpr uint16_t kLocalizable = 0x0200;
inline constexpr uint16_t kStringRef = 0x0400;   // with kStringStorage: a string column
inline constexpr uint16_t kStringStorage = 0x0800;
inline constexpr uint16_t kNullable = 0x1000;
inline constexpr uint16_t kKey = 0x2000;
inline constexpr uint16_t kTemporary = 0x4000;
}  // namespace column_type

enum class CellKind { kString, kInt16, kInt32, kStream };

struct ColumnInfo {
  std::u16string name;
  uint16_t type = 0;  // type word without the 0x8000 bias

  CellKind kind() const {
    if (type & column_type::kStringStorage) {
      return (type & column_type::kStringRef) ? CellKind::kString : CellKind::kStream;
    }
    return (type & column_type::kWidthMask) == 4 ? CellKind::kInt32 : CellKind::kInt16;
  }
  bool is_key() const { return type & column_type::kKey; }
  bool nullable() const { return type & column_type::kNullable; }
  bool temporary() const { return type & column_type::kTemporary; }
  /// Bytes of one cell in a table stream.
  unsigned stored_width(unsigned string_ref_width) const;
};

struct TableSchema {
  std::u16string name;
  std::vector<ColumnInfo> columns;  // in column order (Number 1..n)

  /// Number of leading key columns.
  size_t key_count() const;
  /// Index of a column by name, or nullopt.
  std::optional<size_t> FindColumn(std::u16string_view column) const;
  /// Bytes of one row in a table stream.
  unsigned row_width(unsigned string_ref_width) const;
};

/// Converts between raw integer cells and values.
uint32_t EncodeInteger(CellKind kind, int32_t v);
int32_t DecodeInteger(CellKind kind, uint32_t raw);

class Table {
 public:
  explicit Table(TableSchema schema) : schema_(std::move(schema)) {}

  /// Decodes a column-major table stream. Fails (result_code::kFunctionFailed, installer
  /// error 2229-like record naming the table) if the size is not a whole number of rows.
  static Result<Table> Decode(TableSchema schema, std::span<const uint8_t> stream,
                              unsigned string_ref_width);
  /// Encodes the rows, sorted by raw key cells, column-major.
  std::vector<uint8_t> Encode(unsigned string_ref_width) const;

  const TableSchema& schema() const { return schema_; }
  size_t column_count() const { return schema_.columns.size(); }
  size_t row_count() const { return cells_.empty() ? 0 : cells_.size() / column_count(); }
  std::span<const uint32_t> Row(size_t row) const;
  uint32_t Cell(size_t row, size_t column) const { return cells_[row * column_count() + column]; }

  /// Row index whose key cells equal `key` (key_count() raw cells), or nullopt.
  std::optional<size_t> FindByKey(std::span<const uint32_t> key) const;
  /// Appends a row (column_count() raw cells). The caller checked the key is new.
  size_t AppendRow(std::span<const uint32_t> cells);
  void SetCell(size_t row, size_t column, uint32_t raw);
  void EraseRow(size_t row);

  /// True once any row was added, changed or removed since load.
  bool dirty() const { return dirty_; }
  void clear_dirty() { dirty_ = false; }

  /// Adds to `counts` (indexed by string id) one per string cell.
  void CountStringRefs(std::vector<uint32_t>& counts) const;

 private:
  TableSchema schema_;
  std::vector<uint32_t> cells_;       // row-major
  bool dirty_ = false;
  // Open addressing over row numbers plus one (0 = empty bucket), capacity a power
  // of two at least twice the rows. Built on the first lookup, kept up to date as
  // rows are appended, dropped when a key cell changes or a row goes.
  mutable std::vector<uint32_t> key_index_;
  void BuildKeyIndex() const;
  void IndexRow(size_t row) const;  // index built and large enough
  size_t HashKey(std::span<const uint32_t> key) const;
};

}  // namespace mkx::engine
