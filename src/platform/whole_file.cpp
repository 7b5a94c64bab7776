// Writing a file's whole contents, through the random-access file interface.
#include "platform/whole_file.h"

#include "platform/file.h"

namespace mkx::platform {

Status WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  auto file = OpenFile(path, PathExists(path) ? FileMode::kReadWrite : FileMode::kCreateNew);
  if (!file.ok()) return file.take_error();
  MKX_TRY((*file)->Truncate(0));
  return (*file)->WriteAt(0, bytes);
}

}  // namespace mkx::platform
