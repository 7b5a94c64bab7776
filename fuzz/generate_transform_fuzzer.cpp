// Fuzz target: the tool's whole path on a mutated database, held in memory. The bytes
// are opened twice (read-only reference, transacted working copy); two properties are
// inserted and updated with the tool's own statements; the copy is committed; the
// transform is built as the tool builds it, as a compound file in memory with its
// summary information, and read back.
#include <cstddef>
#include <cstdint>

#include "engine/sql/view.h"
#include "engine/transform/summary_info.h"
#include "engine/transform/transform_writer.h"
#include "fuzz/fuzz_support.h"
#include "platform/utf8.h"
#include "properties/property_update.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto reference = fuzz::OpenDatabase(data, size, engine::OpenMode::kReadOnly);
  if (!reference) return 0;
  auto working = fuzz::OpenDatabase(data, size, engine::OpenMode::kTransact);
  if (!working) return 0;
  SetProperty(*working, u"FUZZPROPERTY", u"value");
  SetProperty(*working, u"ProductName", u"Fuzzed product \u00e9");
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
  return 0;
}
