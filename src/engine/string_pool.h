// The string pool of an installer database (_StringPool and _StringData streams).
//
// Strings are kept as the raw bytes of the database codepage, so that a commit writes
// back exactly what was read; text conversion happens only at the edges. Index 0 is
// null; a slot may be unused (length 0). Existing strings keep their index for the
// life of the pool, so tables that did not change never need to be rewritten.
//
// Storage is flat: the bytes as loaded in one buffer, strings added later in another,
// and one (offset, length) per slot, so loading a pool of hundreds of thousands of
// strings makes no allocation per string and adding one never moves the loaded bytes.
// Lookups by bytes go through one hash index of ids, built on the first lookup and
// kept up to date as strings are added. A pool is not for concurrent use: const
// lookups may build the index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace mkx::engine {

// The longest string a query may store. A string over 65,535 bytes is stored as
// (0, high word of its length) then (low word, count); the installers tried read
// that form back exactly only while the high word is at most 1.
inline constexpr size_t kLongestStoredString = 0x1FFFF;

class StringPool {
 public:
  StringPool() = default;
  explicit StringPool(uint32_t codepage) : codepage_(codepage) {}

  /// Parses the two pool streams. Refcounts in the file are not trusted, except that
  /// a string with text and a count of 0 is refused.
  static Result<StringPool> Load(std::span<const uint8_t> pool_stream,
                                 std::span<const uint8_t> data_stream);
  /// Same, taking over the _StringData bytes instead of copying them.
  static Result<StringPool> Load(std::span<const uint8_t> pool_stream, std::vector<uint8_t>&& data_stream);

  uint32_t codepage() const { return codepage_; }
  /// Whether string references in tables are 3 bytes wide (header bit 31).
  bool long_refs() const { return long_refs_; }
  void set_long_refs(bool v) { long_refs_ = v; }
  /// Width in bytes of a string reference cell.
  unsigned ref_width() const { return long_refs_ ? 3 : 2; }

  /// Number of slots including the null slot 0 (valid ids are 1..slot_count()-1).
  uint32_t slot_count() const { return static_cast<uint32_t>(slots_.size()); }
  /// Raw bytes of a string; empty for 0, an unused slot or an id out of range.
  std::string_view Bytes(uint32_t id) const {
    if (id >= slots_.size()) return {};
    const Slot& slot = slots_[id];
    const std::vector<uint8_t>& from = slot.added ? added_ : data_;
    return std::string_view(reinterpret_cast<const char*>(from.data()) + slot.offset, slot.length);
  }
  /// Decoded text of a string.
  std::u16string Text(uint32_t id) const;

  /// Id of the string with these bytes, or 0. A pool can hold a string twice: the
  /// lowest id is given, and `repeated`, when given, tells whether there are more.
  uint32_t FindBytes(std::string_view bytes, bool* repeated = nullptr) const;
  /// Id of the string with this text (encoded in the pool codepage), or 0.
  uint32_t FindText(std::u16string_view text) const;
  /// Whether the pool holds, as other bytes, a string that reads as the same text as
  /// `canonical` (bytes as EncodeText gives them). Some codepages hold a character
  /// under two byte sequences (cp932: an NEC and an IBM extension), and readers that
  /// compare text take the two strings for one.
  bool HoldsTextTwin(std::string_view canonical) const;
  /// Whether the string's bytes are no valid text in the pool's codepage (they decode
  /// to U+FFFD), for which each reader substitutes its own characters, or hold a NUL,
  /// at which some readers stop: readers may take it for other text. `HoldsMalformed`
  /// tells whether the pool holds such a string at all.
  bool IsMalformed(uint32_t id) const;
  bool HoldsMalformed() const;
  /// Id of the string, adding it (to a slot Release freed, else at the end) if absent.
  /// Slots stored unused are never filled: a damaged table may still refer to one.
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
  struct Slot {
    uint32_t offset = 0;  // into data_, or into added_ when `added`
    uint32_t length : 31 = 0;  // 0: null or unused
    uint32_t added : 1 = 0;
  };

  uint32_t codepage_ = 0;
  bool long_refs_ = false;
  std::vector<uint8_t> data_;       // the loaded _StringData
  std::vector<uint8_t> added_;      // bytes of strings added since
  std::vector<Slot> slots_{Slot{}};  // slot 0 is null
  std::vector<uint32_t> free_slots_;  // slots freed by Release, highest first (reused lowest first)
  // Open addressing over ids (0 = empty bucket), capacity a power of two at least
  // twice the number of strings; empty until the first lookup.
  mutable std::vector<uint32_t> index_;
  mutable uint32_t indexed_ = 0;  // strings in index_
  // The canonical bytes of every string stored otherwise, sorted, and the ids of the
  // malformed strings among them, ascending; both built on first use.
  mutable std::optional<std::vector<std::string>> twins_;
  mutable std::vector<uint32_t> malformed_;

  static size_t HashBytes(std::string_view bytes);
  void BuildIndex() const;
  void IndexAdd(uint32_t id) const;  // index_ built
  /// The canonical bytes of the text, when the bytes are not them; `malformed` tells
  /// whether the string is malformed (see IsMalformed).
  std::optional<std::string> CanonicalTwin(std::string_view bytes, bool& malformed) const;
  void ScanText() const;  // builds twins_ and malformed_, once
  void SetBytes(uint32_t id, std::string_view bytes);
};

}  // namespace mkx::engine
