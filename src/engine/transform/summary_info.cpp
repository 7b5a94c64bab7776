#include "engine/transform/summary_info.h"

#include <algorithm>
#include <optional>

#include "engine/codepage.h"
#include "engine/compound/compound_file.h"
#include "platform/file.h"
#include "platform/scratch_file.h"
#include "platform/wide.h"

namespace mkx::engine {
namespace {

constexpr uint32_t kDefaultSummaryCodepage = 1252;
constexpr int32_t kDefaultInstallerVersion = 100;

// The database's summary property set; empty when it has none.
Result<PropertySet> ReadSummary(const Database& db) {
  if (!db.file().FindStream(kSummaryStreamName)) return PropertySet();
  auto bytes = db.file().ReadStream(kSummaryStreamName);
  if (!bytes.ok()) return bytes.take_error();
  auto set = PropertySet::Decode(*bytes);
  if (!set.ok()) {
    Error e = set.take_error();
    e.code = result_code::kInstallPackageInvalid;
    return e;
  }
  return set;
}

uint32_t SummaryCodepage(const PropertySet& set) {
  const Property* p = set.Find(summary_pid::kCodepage);
  if (!p || p->type != PropertyType::kInt16) return kDefaultSummaryCodepage;
  return static_cast<uint16_t>(p->integer);
}

// A string property's text, or nullopt when absent or not a string.
std::optional<std::string> StringOf(const PropertySet& set, uint32_t id) {
  const Property* p = set.Find(id);
  if (!p || p->type != PropertyType::kString) return std::nullopt;
  return p->text;
}

// Value of a Property row, empty when the table or the row is absent. Rows are matched by the
// text of their key, so that the string pool needs no index for the few names a summary reads.
Result<std::u16string> PropertyValue(Database& db, std::u16string_view name) {
  const TableSchema* schema = db.FindSchema(u"Property");
  if (!schema) return std::u16string();
  const auto value_column = schema->FindColumn(u"Value");
  if (!value_column || schema->key_count() != 1) return std::u16string();
  auto table = db.GetTable(u"Property");
  if (!table.ok()) return table.take_error();
  const StringPool& strings = db.strings();
  const std::string key = EncodeText(strings.codepage(), name);
  if (!EncodedExactly(strings.codepage(), name, key)) return std::u16string();
  const Table& rows = **table;
  for (size_t row = 0; row < rows.row_count(); ++row) {
    if (strings.Bytes(rows.Cell(row, 0)) == key) return strings.Text(rows.Cell(row, *value_column));
  }
  return std::u16string();
}

Result<std::u16string> RequiredProperty(Database& db, std::u16string_view name) {
  auto value = PropertyValue(db, name);
  if (value.ok() && value->empty()) {
    return Error(result_code::kInstallPackageInvalid, 2205,
                 u"Database: [2]. The Property table has no [3], which a transform summary needs.",
                 {platform::DecodePath(db.path()), std::u16string(name)});
  }
  return value;
}

}  // namespace

Result<PropertySet> BuildTransformSummary(Database& database, Database& reference, int32_t error_conditions,
                                          int32_t validation) {
  auto ref_code = RequiredProperty(reference, u"ProductCode");
  if (!ref_code.ok()) return ref_code.take_error();
  auto ref_version = RequiredProperty(reference, u"ProductVersion");
  if (!ref_version.ok()) return ref_version.take_error();
  auto db_code = RequiredProperty(database, u"ProductCode");
  if (!db_code.ok()) return db_code.take_error();
  auto db_version = RequiredProperty(database, u"ProductVersion");
  if (!db_version.ok()) return db_version.take_error();
  const bool need_upgrade_code = (validation & transform_validate::kUpgradeCode) != 0;
  if (need_upgrade_code) {
    auto ref_upgrade = RequiredProperty(reference, u"UpgradeCode");
    if (!ref_upgrade.ok()) return ref_upgrade.take_error();
  }
  auto db_upgrade = need_upgrade_code ? RequiredProperty(database, u"UpgradeCode")
                                      : PropertyValue(database, u"UpgradeCode");
  if (!db_upgrade.ok()) return db_upgrade.take_error();

  auto ref_summary = ReadSummary(reference);
  if (!ref_summary.ok()) return ref_summary.take_error();
  auto db_summary = ReadSummary(database);
  if (!db_summary.ok()) return db_summary.take_error();

  const PropertySet& ref = *ref_summary;
  const uint32_t codepage = SummaryCodepage(ref);
  const uint32_t db_codepage = SummaryCodepage(*db_summary);
  auto in_codepage = [&](uint32_t from, const std::string& bytes) {
    if (from == codepage) return bytes;
    return EncodeText(codepage, DecodeText(from, bytes));
  };

  PropertySet out;
  out.SetInt16(summary_pid::kCodepage, static_cast<int16_t>(codepage));
  for (uint32_t id : {summary_pid::kTitle, summary_pid::kSubject, summary_pid::kAuthor, summary_pid::kKeywords,
                      summary_pid::kComments}) {
    out.SetString(id, StringOf(ref, id).value_or(""));
  }
  if (const Property* created = ref.Find(summary_pid::kCreateTime);
      created && created->type == PropertyType::kFiletime) {
    out.Set(*created);
  }
  out.SetString(summary_pid::kCreatingApplication, StringOf(ref, summary_pid::kCreatingApplication).value_or(""));
  if (const Property* security = ref.Find(summary_pid::kSecurity);
      security && security->type != PropertyType::kString && security->type != PropertyType::kFiletime) {
    out.SetInt32(summary_pid::kSecurity, security->integer);
  }
  out.SetString(summary_pid::kTemplate, StringOf(ref, summary_pid::kTemplate).value_or(""));
  out.SetString(summary_pid::kLastSavedBy,
                in_codepage(db_codepage, StringOf(*db_summary, summary_pid::kTemplate).value_or("")));
  const std::u16string revision = *ref_code + *ref_version + u";" + *db_code + *db_version + u";" + *db_upgrade;
  out.SetString(summary_pid::kRevisionNumber, EncodeText(codepage, revision));

  std::optional<int32_t> version;
  for (const PropertySet* set : {&ref, static_cast<const PropertySet*>(&*db_summary)}) {
    const Property* p = set->Find(summary_pid::kPageCount);
    if (p && (p->type == PropertyType::kInt32 || p->type == PropertyType::kInt16)) {
      version = std::max(version.value_or(p->integer), p->integer);
    }
  }
  out.SetInt32(summary_pid::kPageCount, version.value_or(kDefaultInstallerVersion));
  out.SetInt32(summary_pid::kCharacterCount,
               static_cast<int32_t>((static_cast<uint32_t>(validation) << 16) |
                                    (static_cast<uint32_t>(error_conditions) & 0xFFFF)));
  return out;
}

Status CreateTransformSummaryInfo(Database& database, Database& reference, const std::string& path,
                                  int32_t error_conditions, int32_t validation) {
  auto summary = BuildTransformSummary(database, reference, error_conditions, validation);
  if (!summary.ok()) return summary.take_error();
  auto file = platform::OpenFile(path, platform::FileMode::kReadWrite);
  if (!file.ok()) return file.take_error();
  // Written in place and not synced: whoever publishes the transform makes it durable.
  auto transform = compound::CompoundFile::Open(platform::AsScratchFile(std::move(*file)));
  if (!transform.ok()) return transform.take_error();
  const compound::StreamChange change{std::u16string(kSummaryStreamName), summary->Encode()};
  return (*transform)->Commit(std::span(&change, 1));
}

}  // namespace mkx::engine
