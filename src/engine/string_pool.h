// The string pool of an installer database (_StringPool and _StringData streams).
//
// Strings are kept as the raw bytes of the database codepage, so that a commit writes
// back exactly what was read; text conversion happens only at the edges. Index 0 is
// null; a slot may be unused (length 0). Lookups by bytes go through a hash index.
// Existing strings keep their index for the life of the pool, so tables that did not
// change never need to be rewritten.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

namespace mkx::engine {

class StringPool {
 public:
  StringPool() = default;
  explicit StringPool(uint32_t codepage) : codepage_(codepage) {}

  /// Parses the two pool streams. Refcounts in the file are not trusted.
  static Result<StringPool> Load(std::span<const uint8_t> pool_stream,
                                 std::span<const uint8_t> data_stream);

  uint32_t codepage() const { return codepage_; }
  void set_codepage(uint32_t codepage) { codepage_ = codepage; }
  /// Whether string references in tables are 3 bytes wide (header bit 31).
  bool long_refs() const { return long_refs_; }
  void set_long_refs(bool v) { long_refs_ = v; }
  /// Width in bytes of a string reference cell.
  unsigned ref_width() const { return long_refs_ ? 3 : 2; }

  /// Number of slots including the null slot 0 (valid ids are 1..slot_count()-1).
  uint32_t slot_count() const { return static_cast<uint32_t>(bytes_.size()); }
  /// Raw bytes of a string; empty for 0, an unused slot or an id out of range.
  std::string_view Bytes(uint32_t id) const;
  /// Decoded text of a string.
  std::u16string Text(uint32_t id) const;

  /// Id of the string with these bytes, or 0.
  uint32_t FindBytes(std::string_view bytes) const;
  /// Id of the string with this text (encoded in the pool codepage), or 0.
  uint32_t FindText(std::u16string_view text) const;
  /// Id of the string, adding it (to a free slot, else at the end) if absent.
  /// The empty string is null: returns 0.
  uint32_t InternBytes(std::string_view bytes);
  uint32_t InternText(std::u16string_view text);

  /// Frees every slot whose count is 0 (counts indexed by id, size slot_count()).
  void Release(std::span<const uint32_t> refcounts);

  /// Serializes with the given reference counts (indexed by id). A count of 0 marks
  /// the slot unused; trailing unused slots are dropped. Long strings (over 65535
  /// bytes) use the two-entry form. `long_refs()` becomes bit 31 of the header.
  void Serialize(std::span<const uint32_t> refcounts, std::vector<uint8_t>& pool_stream,
                 std::vector<uint8_t>& data_stream) const;

 private:
  uint32_t codepage_ = 0;
  bool long_refs_ = false;
  std::vector<std::string> bytes_{std::string()};  // slot 0 is null
  // Hash of the bytes -> ids holding them. Keyed by hash (not by views into bytes_)
  // so the pool stays valid when copied or when bytes_ reallocates.
  std::unordered_multimap<size_t, uint32_t> index_;
  std::vector<uint32_t> free_slots_;  // unused slots, highest first (reused lowest first)

  static size_t HashBytes(std::string_view bytes);
  void IndexAdd(uint32_t id);
  void IndexRemove(uint32_t id);
};

}  // namespace mkx::engine
