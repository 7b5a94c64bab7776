#include "engine/transform/property_set.h"

#include <algorithm>
#include <cstring>

#include "platform/wide.h"

namespace mkx::engine {

const std::array<uint8_t, 16> kSummaryInformationFmtid = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                                          0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

namespace {

constexpr size_t kHeaderSize = 28;        // byte order, version, system id, CLSID, section count
constexpr size_t kSectionEntrySize = 20;  // format id + offset
constexpr uint32_t kMaxProperties = 65536;

uint16_t Get16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint64_t Get64(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint64_t>(Get32(b, at)) | (static_cast<uint64_t>(Get32(b, at + 4)) << 32);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

Error Malformed(const char* why) {
  return Error(result_code::kInvalidData, 2205, u"Summary information stream is malformed: [2].",
               {platform::FromAscii(why)});
}

}  // namespace

Result<PropertySet> PropertySet::Decode(std::span<const uint8_t> s) {
  if (s.size() < kHeaderSize + kSectionEntrySize) return Malformed("too short for a header");
  if (Get16(s, 0) != 0xFFFE) return Malformed("byte-order mark is not FE FF");
  const uint32_t sections = Get32(s, 24);
  if (sections < 1) return Malformed("no section");
  PropertySet set;
  set.system_id_ = Get32(s, 4);
  std::copy_n(s.begin() + kHeaderSize, 16, set.format_id_.begin());
  const uint64_t section = Get32(s, kHeaderSize + 16);
  if (section + 8 > s.size()) return Malformed("section offset past the end");
  const uint64_t declared_size = Get32(s, section);
  // Values must lie inside the section and the stream; tolerate a size field larger
  // than the stream by bounding with the stream.
  const uint64_t section_end = std::min<uint64_t>(s.size(), section + declared_size);
  const uint32_t count = Get32(s, section + 4);
  if (count > kMaxProperties || section + 8 + 8ull * count > section_end) {
    return Malformed("property table does not fit in the section");
  }
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = section + 8 + 8 * i;
    const uint32_t id = Get32(s, entry);
    const uint64_t at = section + Get32(s, entry + 4);
    if (at + 4 > section_end) return Malformed("property offset past the section");
    const uint32_t type = Get32(s, at) & 0xFFFF;  // the high word is padding
    Property p;
    p.id = id;
    switch (type) {
      case 2:
        if (at + 6 > section_end) return Malformed("truncated 16-bit value");
        p.type = PropertyType::kInt16;
        p.integer = static_cast<int16_t>(Get16(s, at + 4));
        break;
      case 3:
        if (at + 8 > section_end) return Malformed("truncated 32-bit value");
        p.type = PropertyType::kInt32;
        p.integer = static_cast<int32_t>(Get32(s, at + 4));
        break;
      case 64:
        if (at + 12 > section_end) return Malformed("truncated FILETIME value");
        p.type = PropertyType::kFiletime;
        p.filetime = Get64(s, at + 4);
        break;
      case 30: {
        if (at + 8 > section_end) return Malformed("truncated string length");
        const uint64_t length = Get32(s, at + 4);
        if (at + 8 + length > section_end) return Malformed("string runs past the section");
        p.type = PropertyType::kString;
        const char* first = reinterpret_cast<const char*>(s.data() + at + 8);
        p.text.assign(first, static_cast<size_t>(length));
        // The count includes the terminator; anything from the first NUL on is not text.
        if (auto nul = p.text.find('\0'); nul != std::string::npos) p.text.resize(nul);
        break;
      }
      default:
        continue;  // a type summary information does not use: not carried
    }
    set.properties_.push_back(std::move(p));
  }
  return set;
}

std::vector<uint8_t> PropertySet::Encode() const {
  std::vector<uint8_t> out;
  Put16(out, 0xFFFE);
  Put16(out, 0);  // format version
  Put32(out, system_id_);
  out.insert(out.end(), 16, 0);  // CLSID
  Put32(out, 1);                 // one section
  out.insert(out.end(), format_id_.begin(), format_id_.end());
  const size_t section = kHeaderSize + kSectionEntrySize;
  Put32(out, static_cast<uint32_t>(section));
  Put32(out, 0);  // section size, patched below
  Put32(out, static_cast<uint32_t>(properties_.size()));
  const size_t table = out.size();
  out.resize(table + 8 * properties_.size());
  for (size_t i = 0; i < properties_.size(); ++i) {
    const Property& p = properties_[i];
    Set32(out, table + 8 * i, p.id);
    Set32(out, table + 8 * i + 4, static_cast<uint32_t>(out.size() - section));
    Put32(out, static_cast<uint32_t>(p.type));
    switch (p.type) {
      case PropertyType::kInt16:
        Put16(out, static_cast<uint16_t>(p.integer));
        Put16(out, 0);
        break;
      case PropertyType::kInt32:
        Put32(out, static_cast<uint32_t>(p.integer));
        break;
      case PropertyType::kFiletime:
        Put32(out, static_cast<uint32_t>(p.filetime));
        Put32(out, static_cast<uint32_t>(p.filetime >> 32));
        break;
      case PropertyType::kString:
        Put32(out, static_cast<uint32_t>(p.text.size() + 1));
        out.insert(out.end(), p.text.begin(), p.text.end());
        out.push_back(0);
        while (out.size() % 4 != 0) out.push_back(0);
        break;
    }
  }
  Set32(out, section, static_cast<uint32_t>(out.size() - section));
  return out;
}

const Property* PropertySet::Find(uint32_t id) const {
  for (const Property& p : properties_) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

void PropertySet::Set(Property property) {
  for (Property& p : properties_) {
    if (p.id == property.id) {
      p = std::move(property);
      return;
    }
  }
  properties_.push_back(std::move(property));
}

void PropertySet::SetInt16(uint32_t id, int16_t v) {
  Property p;
  p.id = id;
  p.type = PropertyType::kInt16;
  p.integer = v;
  Set(std::move(p));
}

void PropertySet::SetInt32(uint32_t id, int32_t v) {
  Property p;
  p.id = id;
  p.type = PropertyType::kInt32;
  p.integer = v;
  Set(std::move(p));
}

void PropertySet::SetString(uint32_t id, std::string bytes) {
  Property p;
  p.id = id;
  p.type = PropertyType::kString;
  if (auto nul = bytes.find('\0'); nul != std::string::npos) bytes.resize(nul);
  p.text = std::move(bytes);
  Set(std::move(p));
}

void PropertySet::SetFiletime(uint32_t id, uint64_t ticks) {
  Property p;
  p.id = id;
  p.type = PropertyType::kFiletime;
  p.filetime = ticks;
  Set(std::move(p));
}

}  // namespace mkx::engine
