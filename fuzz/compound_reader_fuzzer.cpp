// Fuzz target: the compound-file reader and in-place commit on arbitrary bytes.
// Opens the file, reads every root stream whole and in ranges, then commits a
// replacement, an addition and a removal to a writable in-memory copy and reopens it.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

using namespace mkx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto opened = compound::CompoundFile::Open(fuzz::MemoryCopy(data, size, true));
  if (!opened.ok()) return 0;
  compound::CompoundFile& file = **opened;
  const auto entries = file.RootEntries();
  for (const auto& entry : entries) {
    if (entry.kind != compound::EntryKind::kStream) continue;
    (void)file.ReadStream(entry.name);
    uint8_t tail[16];
    if (entry.size >= sizeof tail) (void)file.ReadStreamRange(entry.name, entry.size - sizeof tail, tail);
  }
  std::vector<compound::StreamChange> changes;
  changes.push_back({u"fuzz-added", std::vector<uint8_t>(5000, 0x5A)});
  for (const auto& entry : entries) {
    if (entry.kind != compound::EntryKind::kStream) continue;
    if (changes.size() == 1) {
      changes.push_back({entry.name, std::vector<uint8_t>(100, 0xA5)});
    } else {
      changes.push_back({entry.name, std::nullopt});
      break;
    }
  }
  if (file.Commit(changes).ok()) (void)file.ReadStream(u"fuzz-added");
  return 0;
}
