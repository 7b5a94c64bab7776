// Fuzz target: opening an installer database (header, catalog, string pool) and
// decoding every table, then reading every stream-column's data name and the first
// bytes of each data stream.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

using namespace mkx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto db = fuzz::OpenDatabase(data, size, engine::OpenMode::kReadOnly);
  if (!db) return 0;
  volatile size_t cells = fuzz::DecodeEveryTable(*db);
  (void)cells;
  for (const auto& name : db->TableNames()) {
    auto table = db->GetTable(name);
    if (!table.ok()) continue;
    const engine::Table& t = **table;
    const engine::TableSchema* schema = db->FindSchema(name);
    if (!schema) continue;
    bool has_stream = false;
    for (const auto& column : schema->columns) has_stream |= column.kind() == engine::CellKind::kStream;
    if (!has_stream) continue;
    for (size_t row = 0; row < t.row_count() && row < 64; ++row) {
      const std::u16string stream = db->StreamDataName(t, row);
      (void)stream;
    }
  }
  for (uint32_t id = 1; id < db->strings().slot_count() && id < 4096; ++id) (void)db->strings().Text(id);
  return 0;
}
