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

std::string_view TransformStringPool::Store(std::string_view bytes) {
  constexpr size_t kBlock = 1 << 20;
  if (bytes.size() > block_left_) {
    if (bytes.size() >= kBlock / 4) {  // a long string gets a block of its own
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes.size()));
      std::copy(bytes.begin(), bytes.end(), blocks_.back().get());
      return {blocks_.back().get(), bytes.size()};
    }
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
    block_next_ = blocks_.back().get();
    block_left_ = kBlock;
  }
  char* at = block_next_;
  std::copy(bytes.begin(), bytes.end(), at);
  block_next_ += bytes.size();
  block_left_ -= bytes.size();
  return {at, bytes.size()};
}

uint32_t TransformStringPool::Use(std::string_view bytes) {
  if (bytes.empty()) return 0;
  uint32_t id = Find(bytes);
  if (id == 0) {
    strings_.push_back(Store(bytes));
    counts_.push_back(0);
    id = static_cast<uint32_t>(strings_.size());
    if (2 * strings_.size() > index_.size()) {
      size_t size = 64;  // a power of two, so that a mask picks the slot
      while (size < 4 * strings_.size()) size *= 2;
      index_.assign(size, 0);
      for (uint32_t i = 1; i <= strings_.size(); ++i) index_[SlotOf(strings_[i - 1])] = i;
    } else {
      index_[SlotOf(bytes)] = id;
    }
  }
  ++counts_[id - 1];
  return id;
}

size_t TransformStringPool::SlotOf(std::string_view bytes) const {
  const size_t mask = index_.size() - 1;
  size_t at = std::hash<std::string_view>{}(bytes) & mask;
  while (index_[at] != 0 && strings_[index_[at] - 1] != bytes) at = (at + 1) & mask;
  return at;
}

uint32_t TransformStringPool::Find(std::string_view bytes) const {
  if (bytes.empty() || index_.empty()) return 0;
  return index_[SlotOf(bytes)];
}

void TransformStringPool::Serialize(std::vector<uint8_t>& pool_stream, std::vector<uint8_t>& data_stream) const {
  pool_stream.clear();
  data_stream.clear();
  PutLE(pool_stream, codepage_ | (long_refs() ? 0x80000000u : 0u), 4);
  for (size_t i = 0; i < strings_.size(); ++i) {
    const uint64_t length = strings_[i].size();
    const uint32_t count = std::min<uint32_t>(counts_[i], 0xFFFF);
    if (length > 0xFFFF) {
      PutLE(pool_stream, 0, 2);
      PutLE(pool_stream, static_cast<uint32_t>(length >> 16), 2);
    }
    PutLE(pool_stream, static_cast<uint32_t>(length & 0xFFFF), 2);
    PutLE(pool_stream, count, 2);
    data_stream.insert(data_stream.end(), strings_[i].begin(), strings_[i].end());
  }
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
