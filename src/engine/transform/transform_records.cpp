#include "engine/transform/transform_records.h"

#include <algorithm>

namespace mkx::engine {
namespace {

void PutLE(std::vector<uint8_t>& out, uint32_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

unsigned FieldWidth(CellKind kind, unsigned string_ref_width) {
  switch (kind) {
    case CellKind::kString: return string_ref_width;
    case CellKind::kInt32: return 4;
    case CellKind::kInt16:
    case CellKind::kStream: return 2;
  }
  return 2;
}

}  // namespace

uint32_t TransformStringPool::Use(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const uint32_t id = strings_.InternBytes(bytes);
  if (id >= counts_.size()) counts_.resize(id + 1, 0);
  ++counts_[id];
  if (size() > 0xFFFF) strings_.set_long_refs(true);
  return id;
}

void EncodeRecord(const TransformRecord& record, unsigned string_ref_width, std::vector<uint8_t>& out) {
  PutLE(out, record.mask, 2);
  for (const RecordField& f : record.fields) PutLE(out, f.value, FieldWidth(f.kind, string_ref_width));
}

Result<std::vector<TransformRecord>> DecodeRecords(std::span<const uint8_t> stream,
                                                   std::span<const CellKind> columns, size_t key_count,
                                                   unsigned string_ref_width) {
  std::vector<TransformRecord> records;
  size_t at = 0;
  auto truncated = [&]() {
    return Error(result_code::kInvalidData, 2226, u"Transform table stream is truncated at byte [2].",
                 {[&] {
                   std::string s = std::to_string(at);
                   return std::u16string(s.begin(), s.end());
                 }()});
  };
  auto read = [&](CellKind kind, uint32_t& value) {
    const unsigned width = FieldWidth(kind, string_ref_width);
    if (at + width > stream.size()) return false;
    value = 0;
    for (unsigned i = 0; i < width; ++i) value |= static_cast<uint32_t>(stream[at + i]) << (8 * i);
    at += width;
    return true;
  };
  while (at < stream.size()) {
    TransformRecord r;
    uint32_t mask = 0;
    if (!read(CellKind::kInt16, mask)) return truncated();
    r.mask = static_cast<uint16_t>(mask);
    std::vector<size_t> present;
    if (mask & 1) {
      const size_t n = std::min<size_t>(mask >> 8, columns.size());
      for (size_t c = 0; c < n; ++c) present.push_back(c);
    } else {
      for (size_t c = 0; c < std::min(key_count, columns.size()); ++c) present.push_back(c);
      for (size_t c = key_count; c < columns.size() && c < kMaxUpdatableColumn; ++c) {
        if (mask & (1u << c)) present.push_back(c);
      }
    }
    for (size_t c : present) {
      RecordField f{columns[c], 0};
      if (!read(f.kind, f.value)) return truncated();
      r.fields.push_back(f);
    }
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace mkx::engine
