#include "engine/transform/property_set.h"

#include <gtest/gtest.h>

#include "engine/transform/genuine_transform.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using test::ReadOleStream;
using test::RealFixture;

std::vector<uint8_t> GenuineSummary(const std::string& storage) {
  return ReadOleStream(RealFixture("WPF2_32.msp"), {storage, "\x05SummaryInformation"});
}

struct Expected {
  uint32_t id;
  PropertyType type;
  int32_t integer;
  std::string text;
};

void ExpectProperties(const PropertySet& set, const std::vector<Expected>& expected) {
  ASSERT_EQ(set.properties().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Property& p = set.properties()[i];
    SCOPED_TRACE("property #" + std::to_string(i) + " pid " + std::to_string(expected[i].id));
    EXPECT_EQ(p.id, expected[i].id);
    EXPECT_EQ(p.type, expected[i].type);
    if (p.type == PropertyType::kString) {
      EXPECT_EQ(p.text, expected[i].text);
    } else if (p.type != PropertyType::kFiletime) {
      EXPECT_EQ(p.integer, expected[i].integer);
    }
  }
}

const char kRevision[] =
    "{2BA00471-0328-3743-93BD-FA813353A783}3.1.21022;{2BA00471-0328-3743-93BD-FA813353A783}3.1.21022;"
    "{B7F51CFB-D972-40AE-B176-D4BC2E813A46}";

TEST(PropertySetTest, DecodesGenuineTransformSummaryAndReencodesItByteForByte) {
  const std::vector<uint8_t> stream = GenuineSummary("T1ToU1");
  ASSERT_EQ(stream.size(), 644u);
  auto set = PropertySet::Decode(stream);
  ASSERT_TRUE(set.ok()) << set.code();
  using T = PropertyType;
  ExpectProperties(*set, {
                             {1, T::kInt16, 1252, ""},
                             {2, T::kString, 0, "Installation Database"},
                             {3, T::kString, 0, "Microsoft .NET Framework"},
                             {4, T::kString, 0, "Microsoft Corporation"},
                             {5, T::kString, 0, "Install,MSI"},
                             {6, T::kString, 0,
                              "Microsoft .NET Framework; Copyright (C) Microsoft Corporation, All rights reserved."},
                             {12, T::kFiletime, 0, ""},
                             {18, T::kString, 0, "Windows Installer XML v3.0.2921.0"},
                             {19, T::kInt32, 0, ""},
                             {7, T::kString, 0, "Intel;0"},
                             {8, T::kString, 0, "Intel;0"},
                             {9, T::kString, 0, kRevision},
                             {14, T::kInt32, 300, ""},
                             {16, T::kInt32, 0x01120017, ""},
                         });
  EXPECT_EQ(set->Find(summary_pid::kCreateTime)->filetime, 0x01C821A344EFA100ull);
  EXPECT_EQ(set->system_id(), 0x00020205u);
  EXPECT_EQ(set->Encode(), stream);
}

TEST(PropertySetTest, DecodesPatchTransformWithEmptyStringsAndReencodesIt) {
  const std::vector<uint8_t> stream = GenuineSummary("#T1ToU1");
  ASSERT_EQ(stream.size(), 404u);
  auto set = PropertySet::Decode(stream);
  ASSERT_TRUE(set.ok());
  using T = PropertyType;
  ExpectProperties(*set, {{2, T::kString, 0, ""},
                          {3, T::kString, 0, ""},
                          {4, T::kString, 0, ""},
                          {5, T::kString, 0, ""},
                          {6, T::kString, 0, ""},
                          {18, T::kString, 0, ""},
                          {7, T::kString, 0, "Intel;0"},
                          {8, T::kString, 0, ""},
                          {9, T::kString, 0, kRevision},
                          {14, T::kInt32, 301, ""},
                          {16, T::kInt32, 0x09270017, ""}});
  EXPECT_EQ(set->Encode(), stream);
}

TEST(PropertySetTest, BuiltSetRoundTripsAndReplacesInPlace) {
  PropertySet set;
  set.SetInt16(summary_pid::kCodepage, -2);
  set.SetString(summary_pid::kTitle, "abc");       // 3 bytes + NUL: no padding
  set.SetString(summary_pid::kSubject, "abcd");    // 4 + NUL: 3 padding bytes
  set.SetFiletime(summary_pid::kCreateTime, 0x0123456789ABCDEFull);
  set.SetInt32(summary_pid::kPageCount, -5);
  set.SetString(summary_pid::kTitle, std::string("re\0placed", 9));  // cut at the NUL, keeps slot
  std::vector<uint8_t> bytes = set.Encode();
  EXPECT_EQ(bytes.size() % 4, 0u);
  auto back = PropertySet::Decode(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->properties(), set.properties());
  ASSERT_EQ(back->properties()[1].id, summary_pid::kTitle);
  EXPECT_EQ(back->properties()[1].text, "re");
  EXPECT_EQ(back->Find(summary_pid::kCodepage)->integer, -2);
  EXPECT_EQ(back->Find(99), nullptr);
}

TEST(PropertySetTest, SkipsUnknownTypesAndRejectsDamagedStreams) {
  PropertySet set;
  set.SetString(summary_pid::kTitle, "title");
  set.SetInt32(summary_pid::kPageCount, 200);
  const std::vector<uint8_t> good = set.Encode();
  // Layout: section at 48; table entry i at 56 + 8i; title value at 72, page count at 88.
  struct Case {
    const char* name;
    size_t size;        // truncate to this size (0 = keep)
    size_t at;          // byte to overwrite
    uint8_t value;
    bool ok;
  };
  const Case cases[] = {
      {"truncated header", 40, 0, 0xFE, false},
      {"byte order", 0, 0, 0x00, false},
      {"no section", 0, 24, 0x00, false},
      {"section offset past end", 0, 44, 0xF0, false},
      {"property count too large", 0, 52, 0x40, false},
      {"value offset past section", 0, 60, 0xF0, false},
      {"string length past section", 0, 77, 0x10, false},
      {"truncated last value", 92, 0, 0xFE, false},
      {"unknown type is skipped", 0, 72, 0x1F, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = good;
    if (c.size) bytes.resize(c.size);
    bytes[c.at] = c.value;
    auto decoded = PropertySet::Decode(bytes);
    EXPECT_EQ(decoded.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(decoded.code(), result_code::kInvalidData);
    } else {
      ASSERT_EQ(decoded->properties().size(), 1u);
      EXPECT_EQ(decoded->properties()[0].id, summary_pid::kPageCount);
    }
  }
}

}  // namespace
}  // namespace mkx::engine
