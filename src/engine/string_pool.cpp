// String pool: parsing, lookup, interning and serialization.
#include "engine/string_pool.h"

#include <algorithm>
#include <functional>

#include "engine/codepage.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr uint32_t kLongRefsBit = 0x80000000u;

uint16_t ReadU16(std::span<const uint8_t> s, size_t at) {
  return static_cast<uint16_t>(s[at] | (s[at + 1] << 8));
}

void PutU16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

Error PoolError(const std::string& reason) {
  return Error(ERROR_OPEN_FAILED, 2203,
               u"Database: [2]. Cannot open database file. System error [3].",
               {u"", platform::FromAscii("string pool: " + reason)});
}

}  // namespace

size_t StringPool::HashBytes(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

void StringPool::IndexAdd(uint32_t id) { index_.emplace(HashBytes(bytes_[id]), id); }

void StringPool::IndexRemove(uint32_t id) {
  auto [first, last] = index_.equal_range(HashBytes(bytes_[id]));
  for (auto it = first; it != last; ++it) {
    if (it->second == id) {
      index_.erase(it);
      return;
    }
  }
}

Result<StringPool> StringPool::Load(std::span<const uint8_t> pool_stream,
                                    std::span<const uint8_t> data_stream) {
  if (pool_stream.size() < 4) return PoolError("_StringPool is shorter than its header");
  if (pool_stream.size() % 4 != 0) return PoolError("_StringPool size is not a multiple of 4");
  uint32_t header = static_cast<uint32_t>(pool_stream[0]) | (pool_stream[1] << 8) |
                    (pool_stream[2] << 16) | (static_cast<uint32_t>(pool_stream[3]) << 24);
  StringPool pool(header & ~kLongRefsBit);
  pool.long_refs_ = (header & kLongRefsBit) != 0;

  const size_t entries = pool_stream.size() / 4 - 1;
  pool.bytes_.reserve(entries + 1);
  size_t offset = 0;  // into data_stream
  for (size_t e = 0; e < entries; ++e) {
    size_t at = 4 + 4 * e;
    uint32_t length = ReadU16(pool_stream, at);
    uint16_t second = ReadU16(pool_stream, at + 2);
    if (length == 0 && second != 0) {  // long string: (0, high), (low, refcount)
      if (e + 1 >= entries) return PoolError("long string entry is cut off");
      ++e;
      length = (static_cast<uint32_t>(second) << 16) | ReadU16(pool_stream, 4 + 4 * e);
    }
    if (length > data_stream.size() - offset) {
      return PoolError("string lengths run past the end of _StringData");
    }
    pool.bytes_.emplace_back(reinterpret_cast<const char*>(data_stream.data()) + offset, length);
    offset += length;
  }
  pool.index_.reserve(pool.bytes_.size());
  for (uint32_t id = static_cast<uint32_t>(pool.bytes_.size()) - 1; id >= 1; --id) {
    if (pool.bytes_[id].empty()) {
      pool.free_slots_.push_back(id);
    } else {
      pool.IndexAdd(id);
    }
  }
  return pool;
}

std::string_view StringPool::Bytes(uint32_t id) const {
  if (id >= bytes_.size()) return {};
  return bytes_[id];
}

std::u16string StringPool::Text(uint32_t id) const { return DecodeText(codepage_, Bytes(id)); }

uint32_t StringPool::FindBytes(std::string_view bytes) const {
  if (bytes.empty()) return 0;
  auto [first, last] = index_.equal_range(HashBytes(bytes));
  uint32_t best = 0;
  for (auto it = first; it != last; ++it) {
    if (bytes_[it->second] == bytes && (best == 0 || it->second < best)) best = it->second;
  }
  return best;
}

uint32_t StringPool::FindText(std::u16string_view text) const {
  std::string bytes = EncodeText(codepage_, text);
  // Text the codepage cannot hold is in no string (its '?' stand-ins must not match).
  bool ascii = std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
  if (!ascii && DecodeText(codepage_, bytes) != text) return 0;
  return FindBytes(bytes);
}

uint32_t StringPool::InternBytes(std::string_view bytes) {
  if (bytes.empty()) return 0;
  if (uint32_t id = FindBytes(bytes)) return id;
  uint32_t id;
  if (!free_slots_.empty()) {
    id = free_slots_.back();
    free_slots_.pop_back();
    bytes_[id].assign(bytes);
  } else {
    id = static_cast<uint32_t>(bytes_.size());
    bytes_.emplace_back(bytes);
  }
  IndexAdd(id);
  return id;
}

uint32_t StringPool::InternText(std::u16string_view text) {
  return InternBytes(EncodeText(codepage_, text));
}

void StringPool::Release(std::span<const uint32_t> refcounts) {
  for (uint32_t id = 1; id < bytes_.size(); ++id) {
    uint32_t count = id < refcounts.size() ? refcounts[id] : 0;
    if (count == 0 && !bytes_[id].empty()) {
      IndexRemove(id);
      bytes_[id].clear();
      bytes_[id].shrink_to_fit();
    }
  }
  // Trailing unused slots go away entirely; the rest become reusable.
  while (bytes_.size() > 1 && bytes_.back().empty()) bytes_.pop_back();
  free_slots_.clear();
  for (uint32_t id = static_cast<uint32_t>(bytes_.size()) - 1; id >= 1; --id) {
    if (bytes_[id].empty()) free_slots_.push_back(id);
  }
}

void StringPool::Serialize(std::span<const uint32_t> refcounts, std::vector<uint8_t>& pool_stream,
                           std::vector<uint8_t>& data_stream) const {
  auto count_of = [&](uint32_t id) -> uint32_t {
    if (id >= refcounts.size() || bytes_[id].empty()) return 0;
    return refcounts[id];
  };
  uint32_t last = static_cast<uint32_t>(bytes_.size()) - 1;
  while (last >= 1 && count_of(last) == 0) --last;

  pool_stream.clear();
  data_stream.clear();
  uint32_t header = (codepage_ & ~kLongRefsBit) | (long_refs_ ? kLongRefsBit : 0);
  PutU16(pool_stream, header & 0xFFFF);
  PutU16(pool_stream, header >> 16);
  for (uint32_t id = 1; id <= last; ++id) {
    uint32_t count = count_of(id);
    if (count == 0) {
      PutU16(pool_stream, 0);
      PutU16(pool_stream, 0);
      continue;
    }
    const std::string& s = bytes_[id];
    // The count field is 16 bits; a larger count saturates (readers ignore it).
    uint32_t stored_count = std::min<uint32_t>(count, 0xFFFF);
    size_t length = s.size();
    if (length > 0xFFFF) {
      PutU16(pool_stream, 0);
      PutU16(pool_stream, static_cast<uint32_t>(length >> 16));
      PutU16(pool_stream, static_cast<uint32_t>(length & 0xFFFF));
      PutU16(pool_stream, stored_count);
    } else {
      PutU16(pool_stream, static_cast<uint32_t>(length));
      PutU16(pool_stream, stored_count);
    }
    data_stream.insert(data_stream.end(), s.begin(), s.end());
  }
}

}  // namespace mkx::engine
