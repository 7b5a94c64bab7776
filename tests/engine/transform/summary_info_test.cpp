#include "engine/transform/summary_info.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/transform/genuine_transform.h"
#include "engine/transform/pair_fixture.h"
#include "engine/transform/transform_writer.h"
#include "support/test_support.h"

namespace mkx::engine {
namespace {

using namespace mkx::test;

PropertySet DecodeSummary(const std::string& file, const std::vector<std::string>& path) {
  auto set = PropertySet::Decode(ReadOleStream(file, path));
  EXPECT_TRUE(set.ok());
  return set.ok() ? *set : PropertySet();
}

const char kCode[] = "{11111111-2222-3333-4444-555555555555}";
const char kUpgrade[] = "{66666666-7777-8888-9999-AAAAAAAAAAAA}";

TEST(TransformSummaryTest, MirrorsTheGenuineTransformAndStaysApplicable) {
  TempDir dir;
  const std::string base = dir.File("base.msi");
  const std::string changed = dir.File("changed.msi");
  CopyFile(BuiltFixture("minimal.msi"), base);
  CopyFile(base, changed);
  Sql(changed, {"UPDATE `Property` SET `Value`='1.2.4' WHERE `Property`='ProductVersion'"});
  MsiBuild(changed, {"-s", "Other Name", "Other Author", "x64;1031", "{ABCDEF00-1111-2222-3333-444444444444}"});
  const std::string mst = dir.File("t.mst");
  {
    auto db = OpenDb(changed);
    auto ref = OpenDb(base);
    ASSERT_TRUE(db && ref);
    ASSERT_TRUE(GenerateTransform(*db, *ref, mst).ok());
    Status s = CreateTransformSummaryInfo(*db, *ref, mst, 0x0017, 0x0922);
    ASSERT_TRUE(s.ok()) << s.code();
  }
  const PropertySet ours = DecodeSummary(mst, {"\x05SummaryInformation"});
  const PropertySet genuine = DecodeSummary(RealFixture("WPF2_32.msp"), {"T1ToU1", "\x05SummaryInformation"});
  const PropertySet reference = DecodeSummary(base, {"\x05SummaryInformation"});
  ASSERT_EQ(ours.properties().size(), genuine.properties().size());
  for (size_t i = 0; i < ours.properties().size(); ++i) {
    const Property& p = ours.properties()[i];
    SCOPED_TRACE("pid " + std::to_string(p.id));
    EXPECT_EQ(p.id, genuine.properties()[i].id);
    EXPECT_EQ(p.type, genuine.properties()[i].type);
    switch (p.id) {
      case summary_pid::kTemplate:
        EXPECT_EQ(p.text, "Intel;1033");  // the reference's platform;language
        break;
      case summary_pid::kLastSavedBy:
        EXPECT_EQ(p.text, "x64;1031");  // the new database's
        break;
      case summary_pid::kRevisionNumber:
        EXPECT_EQ(p.text, std::string(kCode) + "1.2.3;" + kCode + "1.2.4;" + kUpgrade);
        break;
      case summary_pid::kPageCount:
        EXPECT_EQ(p.integer, 200);
        break;
      case summary_pid::kCharacterCount:
        EXPECT_EQ(p.integer, 0x09220017);
        break;
      default: {  // copied from the reference database
        const Property* expected = reference.Find(p.id);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(p, *expected);
      }
    }
  }
  EXPECT_EQ(ours.Find(summary_pid::kSubject)->text, "msi-oracle fixture");
  if (HaveWine()) {
    // The transform still applies; a database's own summary is never carried.
    EXPECT_EQ(ApplyAndDiff(base, mst, changed, {"summary ", "stream \\x05SummaryInformation"}), "");
  }
}

TEST(TransformSummaryTest, RequiresProductIdentityInBothDatabases) {
  struct Case {
    const char* name;
    const char* reference_sql;
    const char* database_sql;
    int32_t validation;
    uint32_t code;
    const char* revision;  // expected on success
  };
  const Case cases[] = {
      {"reference without ProductCode", "DELETE FROM `Property` WHERE `Property`='ProductCode'", nullptr, 0,
       result_code::kInstallPackageInvalid, nullptr},
      {"database without ProductVersion", nullptr, "DELETE FROM `Property` WHERE `Property`='ProductVersion'", 0,
       result_code::kInstallPackageInvalid, nullptr},
      {"no UpgradeCode, not validated", nullptr, "DELETE FROM `Property` WHERE `Property`='UpgradeCode'", 0x0002,
       result_code::kSuccess, ";"},
      {"no UpgradeCode, validated", nullptr, "DELETE FROM `Property` WHERE `Property`='UpgradeCode'", 0x0800,
       result_code::kInstallPackageInvalid, nullptr},
      {"reference without UpgradeCode, validated", "DELETE FROM `Property` WHERE `Property`='UpgradeCode'", nullptr,
       0x0800, result_code::kInstallPackageInvalid, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string base = dir.File("base.msi");
    const std::string changed = dir.File("changed.msi");
    CopyFile(BuiltFixture("minimal.msi"), base);
    CopyFile(base, changed);
    if (c.reference_sql) Sql(base, {c.reference_sql});
    if (c.database_sql) Sql(changed, {c.database_sql});
    auto db = OpenDb(changed);
    auto ref = OpenDb(base);
    ASSERT_TRUE(db && ref);
    auto summary = BuildTransformSummary(*db, *ref, 0, c.validation);
    ASSERT_EQ(summary.code(), c.code);
    if (summary.ok()) {
      const std::string expected = std::string(kCode) + "1.2.3;" + kCode + "1.2.3" + c.revision;
      EXPECT_EQ(summary->Find(summary_pid::kRevisionNumber)->text, expected);
    } else {
      EXPECT_FALSE(summary.error().fields.empty());
    }
  }
}

TEST(TransformSummaryTest, MissingTransformFileIsAnOpenFailure) {
  TempDir dir;
  auto db = OpenDb(BuiltFixture("minimal.msi"));
  ASSERT_TRUE(db);
  EXPECT_EQ(CreateTransformSummaryInfo(*db, *db, dir.File("absent.mst"), 0, 0).code(), result_code::kOpenFailed);
}

}  // namespace
}  // namespace mkx::engine
