// Verification: the transform's root streams, its string pool and its Property
// records, each decoded here from the bytes.
#include "transform/verify_transform.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/codepage.h"
#include "engine/compound/compound_file.h"
#include "engine/stream_name.h"
#include "platform/file.h"
#include "platform/utf8.h"
#include "platform/wide.h"

namespace mkx::transform {
namespace {

constexpr uint16_t kInsertBothColumns = 0x0201;  // INSERT, 2 columns
constexpr uint16_t kUpdateValue = 0x0002;        // UPDATE of column 2
constexpr std::u16string_view kSummaryStream = u"\x0005SummaryInformation";

Error Unexpected(const std::u16string& what) {
  return Error(result_code::kInstallTransformFailure, 0, u"The transform was not published: [2].", {what});
}

std::u16string Hex(unsigned value) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out = u"0x";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
  return out;
}

// The transform's own strings, views of its _StringData: index 0 is null. A string
// stored with a reference count of 0 is unused: the installer reads a cell that
// refers to it as null, whatever its bytes.
struct Strings {
  uint32_t codepage = 0;
  unsigned ref_width = 2;
  std::vector<std::string_view> bytes{std::string_view()};
  std::vector<bool> used{false};
};

// Whether the transform's bytes are the text (UTF-8): ASCII compared as it stands (it
// is the same in every codepage), anything else decoded. A value can be as long as a file.
bool SameText(uint32_t codepage, std::string_view bytes, std::string_view utf8) {
  if (bytes == utf8 && engine::IsAscii(bytes)) return true;
  return engine::DecodeText(codepage, bytes) == platform::FromExactUtf8(utf8);
}

Result<Strings> DecodePool(const std::vector<uint8_t>& pool, const std::vector<uint8_t>& data) {
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(pool[at] | (pool[at + 1] << 8)); };
  if (pool.size() < 4 || pool.size() % 4 != 0) return Unexpected(u"its string pool is damaged");
  Strings strings;
  const uint32_t header = u16(0) | (u16(2) << 16);
  strings.codepage = header & 0x7FFFFFFF;
  strings.ref_width = (header & 0x80000000u) ? 3 : 2;
  size_t offset = 0;
  for (size_t at = 4; at < pool.size(); at += 4) {
    uint32_t length = u16(at);
    uint32_t count = u16(at + 2);
    if (length == 0 && count != 0) {  // a long string: (0, high) then (low, count)
      if (at + 8 > pool.size()) return Unexpected(u"its string pool is damaged");
      length = (u16(at + 2) << 16) | u16(at + 4);
      count = u16(at + 6);
      at += 4;
    }
    if (length > data.size() - offset) return Unexpected(u"its string pool is damaged");
    strings.bytes.emplace_back(reinterpret_cast<const char*>(data.data()) + offset, length);
    strings.used.push_back(count != 0);
    offset += length;
  }
  return strings;
}

}  // namespace

void IntendedProperties::Set(std::u16string_view name, std::u16string_view value) {
  Property property;
  property.text.reserve(name.size() + value.size());
  platform::AppendUtf8(name, platform::LoneSurrogates::kKeep, property.text);
  property.name_size = property.text.size();
  platform::AppendUtf8(value, platform::LoneSurrogates::kKeep, property.text);
  set_.push_back(std::move(property));
  index_.clear();
}

const IntendedProperties::Property* IntendedProperties::Find(std::string_view name) const {
  if (index_.empty() && !set_.empty()) {
    index_.reserve(set_.size());
    for (size_t i = 0; i < set_.size(); ++i) index_.insert_or_assign(set_[i].name(), i);
  }
  auto found = index_.find(name);
  return found == index_.end() ? nullptr : &set_[found->second];
}

std::vector<const IntendedProperties::Property*> IntendedProperties::All() const {
  std::vector<const Property*> all;
  for (const Property& property : set_) {
    if (Find(property.name()) == &property) all.push_back(&property);
  }
  return all;
}

Status VerifyTransform(const std::string& path, const IntendedProperties& intended, const SourceLookup& source) {
  auto file = platform::OpenFile(path, platform::FileMode::kReadOnly);
  if (!file.ok()) return file.take_error();
  return VerifyTransform(std::move(*file), intended, source);
}

Status VerifyTransform(std::unique_ptr<platform::RandomAccessFile> file, const IntendedProperties& intended,
                       const SourceLookup& source) {
  auto opened = compound::CompoundFile::Open(std::move(file));
  if (!opened.ok()) return Unexpected(u"it cannot be read back as a compound file");
  const compound::CompoundFile& transform = **opened;

  const std::u16string pool_name = engine::EncodeStreamName(u"_StringPool", true);
  const std::u16string data_name = engine::EncodeStreamName(u"_StringData", true);
  const std::u16string property_name = engine::EncodeStreamName(u"Property", true);
  for (const compound::EntryInfo& entry : transform.RootEntries()) {
    if (entry.kind == compound::EntryKind::kStream &&
        (entry.name == pool_name || entry.name == data_name || entry.name == property_name ||
         entry.name == kSummaryStream)) {
      continue;
    }
    const std::u16string name = engine::DecodeStreamName(entry.name);
    return Unexpected(u"it would also change " + (name.empty() ? std::u16string(u"another stream") : name));
  }

  std::vector<uint8_t> pool_bytes, data_bytes, records;
  for (auto [name, out] : {std::pair{&pool_name, &pool_bytes}, {&data_name, &data_bytes}, {&property_name, &records}}) {
    if (!transform.FindStream(*name)) continue;
    auto read = transform.ReadStream(*name);
    if (!read.ok()) return Unexpected(u"one of its streams cannot be read");
    *out = std::move(*read);
  }
  auto strings = DecodePool(pool_bytes, data_bytes);
  if (!strings.ok()) return strings.take_error();
  const unsigned width = strings->ref_width;
  auto bytes_at = [&](size_t at) -> Result<std::string_view> {
    uint32_t id = records[at] | (records[at + 1] << 8);
    if (width == 3) id |= static_cast<uint32_t>(records[at + 2]) << 16;
    if (id >= strings->bytes.size()) {
      return Unexpected(u"a Property record refers to a string the transform does not hold");
    }
    if (id != 0 && !strings->used[id]) {
      return Unexpected(u"a Property record refers to a string its pool marks unused, which reads as null");
    }
    return strings->bytes[id];
  };

  std::unordered_set<std::string_view> changed;  // views of `intended`'s names
  for (size_t at = 0; at < records.size();) {
    if (records.size() - at < 2) return Unexpected(u"its Property records are cut short");
    const uint16_t mask = static_cast<uint16_t>(records[at] | (records[at + 1] << 8));
    if ((mask & 0xFF) == 1 && mask != kInsertBothColumns) {
      // What the tool can check is the standard table, (Property, Value).
      return Unexpected(u"the database's Property table is not the standard one of two columns, Property and "
                        u"Value (an inserted row has mask " + Hex(mask) + u")");
    }
    if (mask != kInsertBothColumns && mask != kUpdateValue) {
      return Unexpected(u"it holds a Property record of another kind (mask " + Hex(mask) + u")");
    }
    if (records.size() - at < 2 + 2 * width) return Unexpected(u"its Property records are cut short");
    auto name_bytes = bytes_at(at + 2), value_bytes = bytes_at(at + 2 + width);
    if (!name_bytes.ok()) return name_bytes.take_error();
    if (!value_bytes.ok()) return value_bytes.take_error();
    at += 2 + 2 * width;
    const std::u16string name = engine::DecodeText(strings->codepage, *name_bytes);
    const IntendedProperties::Property* wanted = intended.Find(platform::ExactUtf8(name));
    if (!wanted) return Unexpected(u"it would also change property " + name);
    const std::string_view wanted_value = wanted->value();
    if (!SameText(strings->codepage, *value_bytes, wanted_value)) {
      const std::u16string found = engine::DecodeText(strings->codepage, *value_bytes);
      return Unexpected(u"it would set property " + name + u" to " + found + u", not to " +
                        platform::FromExactUtf8(wanted_value));
    }
    if (!changed.insert(wanted->name()).second) {
      return Unexpected(u"it changes property " + name + u" twice");
    }
    const bool in_source = source(name).has_value();
    if (in_source != (mask == kUpdateValue)) {
      return Unexpected(u"it would " + std::u16string(in_source ? u"add" : u"update") + u" property " + name +
                        u", which the database " + (in_source ? u"holds" : u"lacks"));
    }
  }
  for (const IntendedProperties::Property* property : intended.All()) {
    if (changed.count(property->name()) != 0) continue;
    const std::u16string name16 = platform::FromExactUtf8(property->name());
    const std::u16string value = platform::FromExactUtf8(property->value());
    if (source(name16) != value) return Unexpected(u"it does not set property " + name16 + u" to " + value);
  }
  return Ok{};
}

}  // namespace mkx::transform
