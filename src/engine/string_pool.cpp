// String pool: parsing, lookup, interning and serialization.
#include "engine/string_pool.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/codepage.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr uint32_t kLongRefsBit = 0x80000000u;
Error PoolError(const std::string& reason) {
  return Error(result_code::kOpenFailed, 2203,
               u"Database: [2]. Cannot open database file. System error [3].",
               {u"", platform::FromAscii("string pool: " + reason)});
}

}  // namespace

size_t StringPool::HashBytes(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

void StringPool::BuildIndex() const {
  uint32_t strings = 0;
  for (const Slot& slot : slots_) strings += slot.length != 0;
  size_t capacity = 16;
  while (capacity < 2 * static_cast<size_t>(strings) + 2) capacity *= 2;
  index_.assign(capacity, 0);
  indexed_ = 0;
  const size_t mask = capacity - 1;
  for (uint32_t id = 1; id < slots_.size(); ++id) {
    if (slots_[id].length == 0) continue;
    size_t at = HashBytes(Bytes(id)) & mask;
    while (index_[at] != 0) at = (at + 1) & mask;
    index_[at] = id;
    ++indexed_;
  }
}

void StringPool::IndexAdd(uint32_t id) const {
  if (2 * (static_cast<size_t>(indexed_) + 1) > index_.size()) {
    BuildIndex();  // grows: the index holds every string, including this one
    return;
  }
  const size_t mask = index_.size() - 1;
  for (size_t at = HashBytes(Bytes(id)) & mask;; at = (at + 1) & mask) {
    if (index_[at] == 0) {
      index_[at] = id;
      ++indexed_;
      return;
    }
  }
}

std::optional<std::string> StringPool::CanonicalTwin(std::string_view bytes, bool& malformed) const {
  malformed = bytes.find('\0') != std::string_view::npos;  // some readers stop at it
  if (IsAscii(bytes)) return std::nullopt;  // the same in every codepage
  const std::u16string text = DecodeText(codepage_, bytes);
  std::string canonical = EncodeText(codepage_, text);
  if (canonical == bytes) return std::nullopt;
  malformed = malformed || text.find(u'\uFFFD') != std::u16string::npos;
  return canonical;
}

void StringPool::ScanText() const {
  if (twins_) return;
  twins_.emplace();
  malformed_.clear();
  for (uint32_t id = 1; id < slots_.size(); ++id) {
    bool malformed = false;
    if (auto twin = CanonicalTwin(Bytes(id), malformed)) twins_->push_back(std::move(*twin));
    if (malformed) malformed_.push_back(id);
  }
  std::sort(twins_->begin(), twins_->end());
}

bool StringPool::HoldsTextTwin(std::string_view canonical) const {
  ScanText();
  return std::binary_search(twins_->begin(), twins_->end(), canonical);
}

bool StringPool::IsMalformed(uint32_t id) const {
  ScanText();
  return std::binary_search(malformed_.begin(), malformed_.end(), id);
}

bool StringPool::HoldsMalformed() const {
  ScanText();
  return !malformed_.empty();
}

void StringPool::SetBytes(uint32_t id, std::string_view bytes) {
  const auto* begin = reinterpret_cast<const uint8_t*>(bytes.data());
  if (!added_.empty() && begin >= added_.data() && begin < added_.data() + added_.size()) {
    const std::string copy(bytes);  // the bytes live in added_, which may move
    SetBytes(id, copy);
    return;
  }
  Slot slot;
  slot.offset = static_cast<uint32_t>(added_.size());
  slot.length = static_cast<uint32_t>(bytes.size());
  slot.added = 1;
  slots_[id] = slot;
  added_.insert(added_.end(), begin, begin + bytes.size());
  if (!twins_) return;
  bool malformed = false;
  if (auto twin = CanonicalTwin(Bytes(id), malformed)) {
    twins_->insert(std::upper_bound(twins_->begin(), twins_->end(), *twin), std::move(*twin));
  }
  if (malformed) malformed_.insert(std::upper_bound(malformed_.begin(), malformed_.end(), id), id);
}

Result<StringPool> StringPool::Load(std::span<const uint8_t> pool_stream,
                                    std::span<const uint8_t> data_stream) {
  return Load(pool_stream, std::vector<uint8_t>(data_stream.begin(), data_stream.end()));
}

Result<StringPool> StringPool::Load(std::span<const uint8_t> pool_stream, std::vector<uint8_t>&& data_stream) {
  if (pool_stream.size() < 4) return PoolError("_StringPool is shorter than its header");
  if (pool_stream.size() % 4 != 0) return PoolError("_StringPool size is not a multiple of 4");
  uint32_t header = static_cast<uint32_t>(pool_stream[0]) | (pool_stream[1] << 8) |
                    (pool_stream[2] << 16) | (static_cast<uint32_t>(pool_stream[3]) << 24);
  StringPool pool(header & ~kLongRefsBit);
  pool.long_refs_ = (header & kLongRefsBit) != 0;
  if (!IsSupportedCodepage(pool.codepage_)) {
    return PoolError("codepage " + std::to_string(pool.codepage_) +
                     " is not supported (0, 874, 932, 936, 949, 950, 1250 to 1258 and 65001 are, where the "
                     "system converts them)");
  }

  if (data_stream.size() > 0x7FFFFFFF) return PoolError("_StringData is larger than 2 GiB");
  const uint8_t* entry = pool_stream.data() + 4;
  const uint8_t* const end = pool_stream.data() + pool_stream.size();
  const size_t data_size = data_stream.size();
  std::vector<Slot>& slots = pool.slots_;
  slots.reserve(pool_stream.size() / 4);
  size_t offset = 0;  // into data_stream
  while (entry != end) {
    uint32_t length = entry[0] | (entry[1] << 8);
    const uint32_t second = entry[2] | (entry[3] << 8);
    entry += 4;
    uint32_t count = second;
    if (length == 0 && second != 0) {  // long string: (0, high), (low, refcount)
      if (entry == end) return PoolError("long string entry is cut off");
      length = (second << 16) | entry[0] | (entry[1] << 8);
      count = entry[2] | (entry[3] << 8);
      entry += 4;
    }
    if (length > data_size - offset) return PoolError("string lengths run past the end of _StringData");
    // Counts are otherwise not trusted, but other readers take a string stored with a
    // count of 0 for an unused slot, whatever its text: a cell that refers to it reads
    // as null, and a transform that brings the same text may set null. What such a
    // database holds depends on who reads it.
    if (length != 0 && count == 0) {
      return PoolError("string " + std::to_string(slots.size()) +
                       " holds text but has a reference count of 0, which marks it unused");
    }
    slots.push_back(Slot{static_cast<uint32_t>(offset), length, 0});
    offset += length;
  }
  pool.data_ = std::move(data_stream);
  return pool;
}

std::u16string StringPool::Text(uint32_t id) const { return DecodeText(codepage_, Bytes(id)); }

uint32_t StringPool::FindBytes(std::string_view bytes, bool* repeated) const {
  if (repeated) *repeated = false;
  if (bytes.empty()) return 0;
  if (index_.empty()) BuildIndex();
  const size_t mask = index_.size() - 1;
  uint32_t best = 0;  // the lowest id holding these bytes
  for (size_t at = HashBytes(bytes) & mask; index_[at] != 0; at = (at + 1) & mask) {
    const uint32_t id = index_[at];
    if (Bytes(id) != bytes) continue;
    if (best != 0 && repeated) *repeated = true;
    if (best == 0 || id < best) best = id;
  }
  return best;
}

uint32_t StringPool::FindText(std::u16string_view text) const {
  const std::string bytes = EncodeText(codepage_, text);
  // Text the codepage cannot hold is in no string (its '?' stand-ins must not match).
  return EncodedExactly(codepage_, text, bytes) ? FindBytes(bytes) : 0;
}

uint32_t StringPool::InternBytes(std::string_view bytes) {
  if (bytes.empty()) return 0;
  if (uint32_t id = FindBytes(bytes)) return id;
  uint32_t id;
  if (!free_slots_.empty()) {
    id = free_slots_.back();
    free_slots_.pop_back();
  } else {
    id = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  SetBytes(id, bytes);
  IndexAdd(id);
  return id;
}

uint32_t StringPool::InternText(std::u16string_view text) {
  return InternBytes(EncodeText(codepage_, text));
}

void StringPool::Release(std::span<const uint32_t> refcounts) {
  bool released = false;
  for (uint32_t id = 1; id < slots_.size(); ++id) {
    uint32_t count = id < refcounts.size() ? refcounts[id] : 0;
    if (count == 0 && slots_[id].length != 0) {
      slots_[id] = Slot{};  // its bytes stay in data_ unused
      released = true;
    }
  }
  // Trailing unused slots go away entirely; the rest become reusable.
  while (slots_.size() > 1 && slots_.back().length == 0) slots_.pop_back();
  free_slots_.clear();
  for (uint32_t id = static_cast<uint32_t>(slots_.size()) - 1; id >= 1; --id) {
    if (slots_[id].length == 0) free_slots_.push_back(id);
  }
  if (released) {
    index_.clear();  // rebuilt on the next lookup
    indexed_ = 0;
    twins_.reset();
  }
}

void StringPool::Serialize(std::span<const uint32_t> refcounts, std::vector<uint8_t>& pool_stream,
                           std::vector<uint8_t>& data_stream) const {
  // Slots past the counts, or past the last string with a count, are not written.
  uint32_t last = static_cast<uint32_t>(std::min(slots_.size(), refcounts.size()));
  while (last > 1 && (refcounts[last - 1] == 0 || slots_[last - 1].length == 0)) --last;
  if (last == 0) last = 1;

  // Both streams are sized for the most they can take and cut to size at the end.
  pool_stream.resize(4 + 8 * static_cast<size_t>(last - 1));
  data_stream.resize(data_.size() + added_.size());
  uint8_t* entry = pool_stream.data();
  auto put = [&entry](uint32_t low, uint32_t high) {
    entry[0] = static_cast<uint8_t>(low);
    entry[1] = static_cast<uint8_t>(low >> 8);
    entry[2] = static_cast<uint8_t>(high);
    entry[3] = static_cast<uint8_t>(high >> 8);
    entry += 4;
  };
  const uint32_t header = (codepage_ & ~kLongRefsBit) | (long_refs_ ? kLongRefsBit : 0);
  put(header & 0xFFFF, header >> 16);

  // Runs of strings that lie back to back in the same buffer are copied at once.
  uint8_t* out = data_stream.data();
  const uint8_t* run = nullptr;
  size_t run_length = 0;
  bool run_added = false;  // which buffer the run is in
  auto flush = [&] {
    if (run_length != 0) std::memcpy(out, run, run_length);
    out += run_length;
    run = nullptr;
    run_length = 0;
  };
  for (uint32_t id = 1; id < last; ++id) {
    const Slot& slot = slots_[id];
    const uint32_t count = slot.length == 0 ? 0 : refcounts[id];
    if (count == 0) {
      put(0, 0);
      continue;
    }
    // The count field is 16 bits; a larger count saturates (it must never read as 0).
    const uint32_t stored_count = std::min<uint32_t>(count, 0xFFFF);
    const size_t length = slot.length;
    if (length > 0xFFFF) {
      put(0, static_cast<uint32_t>(length >> 16));
      put(static_cast<uint32_t>(length & 0xFFFF), stored_count);
    } else {
      put(static_cast<uint32_t>(length), stored_count);
    }
    const uint8_t* bytes = (slot.added ? added_ : data_).data() + slot.offset;
    if (run != nullptr && run_added == static_cast<bool>(slot.added) && run + run_length == bytes) {
      run_length += length;
    } else {
      flush();
      run = bytes;
      run_length = length;
      run_added = slot.added;
    }
  }
  flush();
  pool_stream.resize(static_cast<size_t>(entry - pool_stream.data()));
  data_stream.resize(static_cast<size_t>(out - data_stream.data()));
}

}  // namespace mkx::engine
