// Fuzz target: the tool's whole path on a mutated database, held in memory. The bytes
// are opened twice (read-only reference, transacted working copy); two properties are
// inserted and updated with the tool's own statements; the copy is committed; the
// transform is built as the tool builds it, as a compound file in memory with its
// summary information, and read back. When both properties read back set, as the
// tool requires before it writes, the transform must pass the tool's verification:
// anything else is a wrong transform the engine wrote.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "engine/sql/view.h"
#include "engine/transform/summary_info.h"
#include "engine/transform/transform_writer.h"
#include "fuzz/fuzz_support.h"
#include "platform/utf8.h"
#include "properties/property_update.h"
#include "transform/verify_transform.h"

using namespace mkx;

namespace {

void RunStatement(engine::Database& db, std::u16string_view text, std::vector<engine::Value> params) {
  auto view = sql::View::Open(db, text);
  if (view.ok()) (void)(*view)->Execute(params);
}

void SetProperty(engine::Database& db, const std::u16string& name, const std::u16string& value) {
  // The tool binds one record (value, name) to both statements.
  for (std::u16string_view statement : {properties::kInsertStatement, properties::kUpdateStatement}) {
    RunStatement(db, statement,
                 {engine::Value::String(platform::ExactUtf8(value)), engine::Value::String(platform::ExactUtf8(name))});
  }
}

// The values of the Property rows named `name`, in order (a null value as "").
std::vector<std::string> ValuesNamed(engine::Database& db, const std::u16string& name) {
  std::vector<std::string> values;
  auto view = sql::View::Open(db, properties::kValueStatement);
  const engine::Value key = engine::Value::String(platform::ExactUtf8(name));
  if (!view.ok() || !(*view)->Execute({&key, 1}).ok()) return values;
  for (auto row = (*view)->Fetch(); row.ok() && *row; row = (*view)->Fetch()) values.push_back((**row)[0].text);
  return values;
}

// The Property table the verification knows: (Property, Value), the key a string, the
// value a nullable string. It refuses the transform of any other by design.
bool StandardPropertyTable(engine::Database& db) {
  const engine::TableSchema* schema = db.FindSchema(u"Property");
  if (!schema || schema->columns.size() != 2 || schema->key_count() != 1) return false;
  const engine::ColumnInfo& key = schema->columns[0];
  const engine::ColumnInfo& value = schema->columns[1];
  return key.name == u"Property" && key.kind() == engine::CellKind::kString && value.name == u"Value" &&
         value.kind() == engine::CellKind::kString && value.nullable() && !value.temporary();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto reference = fuzz::OpenDatabase(data, size, engine::OpenMode::kReadOnly);
  if (!reference) return 0;
  auto working = fuzz::OpenDatabase(data, size, engine::OpenMode::kTransact);
  if (!working) return 0;
  transform::IntendedProperties intended;
  bool all_set = true;
  // A new property, then one picked by the input from names and values that test the
  // codepages, long strings and existing rows.
  static const std::pair<std::u16string, std::u16string> picks[] = {
      {u"ProductName", u"Fuzzed product \u00e9"},
      {u"MYPROP", u"\u20ac and \u0153"},
      {u"\u0413\u041e\u0420\u041e\u0414", u"\u041c\u043e\u0441\u043a\u0432\u0430"},
      {u"\u65e5\u672c", u"\u30c6\u30b9\u30c8\uff71"},
      {u"LONGVALUE", std::u16string(70000, u'x')},
      {u"ProductVersion", u"9.9.9"},
  };
  for (const auto& [name, value] : {std::pair<std::u16string, std::u16string>{u"FUZZPROPERTY", u"value"},
                                    picks[size % std::size(picks)]}) {
    SetProperty(*working, name, value);
    intended.Set(name, value);
    all_set = all_set && ValuesNamed(*working, name) == std::vector{platform::ExactUtf8(value)};
  }
  if (!working->Commit().ok()) return 0;
  auto streams = engine::BuildTransformStreams(*working, *reference);
  if (!streams.ok()) return 0;
  auto summary = engine::BuildTransformSummary(*working, *reference, 0, 0);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  fuzz::MemoryFile out(bytes, true);
  if (!engine::WriteTransformFile(std::move(*streams), summary.ok() ? &*summary : nullptr, out).ok()) {
    std::abort();  // an in-memory write cannot fail
  }
  auto transform = compound::CompoundFile::Open(std::make_unique<fuzz::MemoryFile>(bytes, false));
  if (!transform.ok()) std::abort();  // our own output must read back
  for (const auto& entry : (*transform)->RootEntries()) {
    if (!(*transform)->ReadStream(entry.name).ok()) std::abort();
  }
  if (!all_set || !StandardPropertyTable(*reference)) return 0;
  auto source = [&](const std::u16string& name) -> std::optional<std::u16string> {
    const auto values = ValuesNamed(*reference, name);
    if (values.empty()) return std::nullopt;
    return platform::FromExactUtf8(values.front());
  };
  const Status verified = transform::VerifyTransform(std::make_unique<fuzz::MemoryFile>(bytes, false), intended, source);
  if (!verified.ok()) {
    std::string why = platform::ExactUtf8(verified.error().message_template);
    for (const std::u16string& field : verified.error().fields) why += " | " + platform::ExactUtf8(field);
    std::fprintf(stderr, "the transform fails verification: %s\n", why.c_str());
    std::abort();
  }
  return 0;
}
