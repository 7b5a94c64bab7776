// Fuzz target: reading a property file in text mode and splitting its lines, exactly
// as the tool reads the file it is given. The input becomes the contents of an
// anonymous in-memory file that is opened by path like any property file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "properties/property_file.h"
#include "platform/wide.h"

using namespace mkx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = ::memfd_create("properties", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  auto file = properties::OpenPropertyFile(platform::Widen(path));
  if (!file) std::abort();
  size_t bytes_seen = 0;
  for (;;) {
    properties::PropertyLine line = properties::ReadPropertyLine(**file);
    bytes_seen += line.text.size();
    if (auto assignment = properties::ParsePropertyLine(line.text)) {
      // The name keeps its length and has no lower-case ASCII letters left.
      if (assignment->Name.empty() || assignment->Value.empty()) std::abort();
      for (char16_t c : assignment->Name) {
        if (c >= u'a' && c <= u'z') std::abort();
      }
    }
    if (line.last) break;
  }
  if (bytes_seen > size) std::abort();
  return 0;
}
