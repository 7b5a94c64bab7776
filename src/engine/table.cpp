// Table schemas, column-major stream coding and in-memory row storage.
#include "engine/table.h"

#include <algorithm>
#include <numeric>

#include "platform/wide.h"

namespace mkx::engine {

unsigned ColumnInfo::stored_width(unsigned string_ref_width) const {
  switch (kind()) {
    case CellKind::kString: return string_ref_width;
    case CellKind::kInt32: return 4;
    case CellKind::kInt16:
    case CellKind::kStream: return 2;
  }
  return 2;
}

size_t TableSchema::key_count() const {
  size_t n = 0;
  while (n < columns.size() && columns[n].is_key()) ++n;
  return n;
}

std::optional<size_t> TableSchema::FindColumn(std::u16string_view column) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name == column) return i;
  }
  return std::nullopt;
}

unsigned TableSchema::row_width(unsigned string_ref_width) const {
  unsigned width = 0;
  for (const ColumnInfo& c : columns) width += c.stored_width(string_ref_width);
  return width;
}

uint32_t EncodeInteger(CellKind kind, int32_t v) {
  if (kind == CellKind::kInt32) return static_cast<uint32_t>(v) + 0x80000000u;
  return (static_cast<uint32_t>(v) + 0x8000u) & 0xFFFFu;
}

int32_t DecodeInteger(CellKind kind, uint32_t raw) {
  if (kind == CellKind::kInt32) return static_cast<int32_t>(raw - 0x80000000u);
  return static_cast<int32_t>(raw & 0xFFFFu) - 0x8000;
}

Result<Table> Table::Decode(TableSchema schema, std::span<const uint8_t> stream,
                            unsigned string_ref_width) {
  const unsigned row_width = schema.row_width(string_ref_width);
  if (row_width == 0 ? !stream.empty() : stream.size() % row_width != 0) {
    std::u16string name = schema.name;
    return Error(result_code::kFunctionFailed, 2229, u"Database: [2]. Could not load table '[3]'. [4]",
                 {u"", name,
                  platform::FromAscii("Table stream size " + std::to_string(stream.size()) +
                                      " is not a multiple of the row size " +
                                      std::to_string(row_width) + ".")});
  }
  Table table(std::move(schema));
  const size_t rows = row_width == 0 ? 0 : stream.size() / row_width;
  const size_t columns = table.column_count();
  table.cells_.assign(rows * columns, 0);
  size_t at = 0;
  for (size_t c = 0; c < columns; ++c) {
    const unsigned width = table.schema_.columns[c].stored_width(string_ref_width);
    for (size_t r = 0; r < rows; ++r) {
      uint32_t v = 0;
      for (unsigned b = 0; b < width; ++b) v |= static_cast<uint32_t>(stream[at + b]) << (8 * b);
      at += width;
      table.cells_[r * columns + c] = v;
    }
  }
  return table;
}

std::vector<uint8_t> Table::Encode(unsigned string_ref_width) const {
  const size_t columns = column_count();
  const size_t keys = schema_.key_count();
  std::vector<size_t> order(row_count());
  for (size_t r = 0; r < row_count(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const uint32_t* ra = &cells_[a * columns];
    const uint32_t* rb = &cells_[b * columns];
    return std::lexicographical_compare(ra, ra + keys, rb, rb + keys);
  });
  std::vector<uint8_t> out;
  out.reserve(order.size() * schema_.row_width(string_ref_width));
  for (size_t c = 0; c < columns; ++c) {
    const unsigned width = schema_.columns[c].stored_width(string_ref_width);
    for (size_t r : order) {
      uint32_t v = cells_[r * columns + c];
      for (unsigned b = 0; b < width; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
  }
  return out;
}

std::span<const uint32_t> Table::Row(size_t row) const {
  return std::span<const uint32_t>(cells_).subspan(row * column_count(), column_count());
}

size_t Table::HashKey(std::span<const uint32_t> key) const {
  uint64_t h = 0x9E3779B97F4A7C15ull;
  for (uint32_t v : key) {
    h ^= v;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  return static_cast<size_t>(h);
}

void Table::BuildKeyIndex() const {
  size_t buckets = 16;
  while (buckets < row_count() * 2) buckets *= 2;
  key_index_.assign(buckets, 0);
  for (size_t r = 0; r < row_count(); ++r) IndexRow(r);
}

void Table::IndexRow(size_t row) const {
  const size_t mask = key_index_.size() - 1;
  size_t at = HashKey(Row(row).first(schema_.key_count())) & mask;
  while (key_index_[at] != 0) at = (at + 1) & mask;
  key_index_[at] = static_cast<uint32_t>(row + 1);
}

std::optional<size_t> Table::FindByKey(std::span<const uint32_t> key) const {
  const size_t keys = schema_.key_count();
  if (key.size() != keys) return std::nullopt;
  if (keys == 0) return std::nullopt;
  if (key_index_.empty()) BuildKeyIndex();
  const size_t mask = key_index_.size() - 1;
  for (size_t at = HashKey(key) & mask; key_index_[at] != 0; at = (at + 1) & mask) {
    const size_t r = key_index_[at] - 1;
    if (std::equal(key.begin(), key.end(), cells_.begin() + r * column_count())) return r;
  }
  return std::nullopt;
}

size_t Table::AppendRow(std::span<const uint32_t> cells) {
  const size_t columns = column_count();
  const size_t row = row_count();
  for (size_t c = 0; c < columns; ++c) cells_.push_back(c < cells.size() ? cells[c] : 0);
  dirty_ = true;
  if (!key_index_.empty()) {
    if (2 * row_count() > key_index_.size()) {
      BuildKeyIndex();  // doubles the buckets: amortised constant per insert
    } else {
      IndexRow(row);
    }
  }
  return row;
}

void Table::SetCell(size_t row, size_t column, uint32_t raw) {
  uint32_t& cell = cells_[row * column_count() + column];
  if (cell == raw) return;
  if (column < schema_.key_count()) key_index_.clear();
  cell = raw;
  dirty_ = true;
}

void Table::EraseRow(size_t row) {
  const size_t columns = column_count();
  key_index_.clear();
  auto first = cells_.begin() + static_cast<std::ptrdiff_t>(row * columns);
  cells_.erase(first, first + static_cast<std::ptrdiff_t>(columns));
  dirty_ = true;
}

void Table::CountStringRefs(std::vector<uint32_t>& counts) const {
  const size_t columns = column_count();
  for (size_t c = 0; c < columns; ++c) {
    if (schema_.columns[c].kind() != CellKind::kString) continue;
    for (size_t r = 0; r < row_count(); ++r) {
      uint32_t id = cells_[r * columns + c];
      if (id == 0) continue;
      if (id >= counts.size()) counts.resize(id + 1, 0);
      ++counts[id];
    }
  }
}

}  // namespace mkx::engine
