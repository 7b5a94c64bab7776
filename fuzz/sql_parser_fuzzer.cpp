// Fuzz target: the SQL parser, then binding and running the statement against a small
// database. Each input byte is one 16-bit character, as the tool widens its input.
// The database is the one named by $MKX_FUZZ_SQL_DATABASE (read once, reopened from
// memory for every input so runs do not influence each other); without it only the
// parser runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "engine/sql/statement.h"
#include "engine/sql/view.h"
#include "fuzz/fuzz_support.h"

using namespace mkx;

namespace {

const std::vector<uint8_t>& DatabaseBytes() {
  static const std::vector<uint8_t> bytes = [] {
    const char* path = std::getenv("MKX_FUZZ_SQL_DATABASE");
    if (!path || !*path) return std::vector<uint8_t>{};
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(data, data + size);
  auto parsed = sql::Parse(text, u"fuzz");
  if (!parsed.ok()) return 0;
  const auto& bytes = DatabaseBytes();
  if (bytes.empty()) return 0;
  auto db = fuzz::OpenDatabase(bytes.data(), bytes.size(), engine::OpenMode::kTransact);
  if (!db) return 0;
  auto view = sql::View::Open(*db, text);
  if (!view.ok()) return 0;
  // Alternate parameter kinds so both type checks and stores are reached.
  std::vector<engine::Value> params;
  for (size_t i = 0; i < (*view)->parameter_count(); ++i) {
    params.push_back(i % 2 ? engine::Value::Integer(static_cast<int32_t>(i)) : engine::Value::String("Fz"));
  }
  if (!(*view)->Execute(params).ok()) return 0;
  for (int n = 0; n < 1000; ++n) {
    auto row = (*view)->Fetch();
    if (!row.ok() || !*row) break;
  }
  (void)db->Commit();
  return 0;
}
