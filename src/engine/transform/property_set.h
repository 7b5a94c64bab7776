// OLE property sets with one section, as held by the \005SummaryInformation stream of
// installer databases, patches and transforms.
//
// Only the value types that summary information uses are understood: 16-bit and
// 32-bit integers, byte strings (VT_LPSTR, text in the codepage of property 1) and
// FILETIME. Decoding validates every offset and length against the stream; a property
// of any other type is skipped. Encoding keeps the properties in the order they were
// added (that order is what readers see in the id/offset table), lays the values out
// in that order on 4-byte boundaries and writes no dictionary.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"

namespace mkx::engine {

/// Property ids of the summary information property set.
namespace summary_pid {
inline constexpr uint32_t kCodepage = 1;
inline constexpr uint32_t kTitle = 2;
inline constexpr uint32_t kSubject = 3;
inline constexpr uint32_t kAuthor = 4;
inline constexpr uint32_t kKeywords = 5;
inline constexpr uint32_t kComments = 6;
inline constexpr uint32_t kTemplate = 7;
inline constexpr uint32_t kLastSavedBy = 8;
inline constexpr uint32_t kRevisionNumber = 9;
inline constexpr uint32_t kLastPrinted = 11;
inline constexpr uint32_t kCreateTime = 12;
inline constexpr uint32_t kLastSaveTime = 13;
inline constexpr uint32_t kPageCount = 14;
inline constexpr uint32_t kWordCount = 15;
inline constexpr uint32_t kCharacterCount = 16;
inline constexpr uint32_t kCreatingApplication = 18;
inline constexpr uint32_t kSecurity = 19;
}  // namespace summary_pid

enum class PropertyType : uint32_t {
  kInt16 = 2,      // VT_I2
  kInt32 = 3,      // VT_I4
  kString = 30,    // VT_LPSTR
  kFiletime = 64,  // VT_FILETIME
};

struct Property {
  uint32_t id = 0;
  PropertyType type = PropertyType::kInt32;
  int32_t integer = 0;     // kInt16 (sign-extended) and kInt32
  uint64_t filetime = 0;   // kFiletime: 100-ns ticks since 1601-01-01 UTC
  std::string text;        // kString: the bytes without the terminating NUL

  friend bool operator==(const Property&, const Property&) = default;
};

/// FMTID_SummaryInformation F29F85E0-4FF9-1068-AB91-08002B27B3D9 as stored.
extern const std::array<uint8_t, 16> kSummaryInformationFmtid;

class PropertySet {
 public:
  /// Parses a property-set stream. Fails with result_code::kInvalidData (installer error
  /// 2205-like record) when the stream is not a well-formed one-or-more-section set;
  /// only the first section is read.
  static Result<PropertySet> Decode(std::span<const uint8_t> stream);
  /// Serializes: header, one section with the summary-information format id.
  std::vector<uint8_t> Encode() const;

  /// The property with this id, or null.
  const Property* Find(uint32_t id) const;
  /// Adds the property, or replaces the value of one with the same id in place.
  void Set(Property property);
  void SetInt16(uint32_t id, int16_t v);
  void SetInt32(uint32_t id, int32_t v);
  void SetString(uint32_t id, std::string bytes);
  void SetFiletime(uint32_t id, uint64_t ticks);

  const std::vector<Property>& properties() const { return properties_; }
  uint32_t system_id() const { return system_id_; }

 private:
  // OS version 5.2, Win32: what the genuine transforms carry.
  uint32_t system_id_ = 0x00020205;
  std::array<uint8_t, 16> format_id_ = kSummaryInformationFmtid;
  std::vector<Property> properties_;
};

}  // namespace mkx::engine
