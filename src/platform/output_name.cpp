// Random names of temporary files, the same on every platform.
#include <cstdio>
#include <random>

#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/temp_files.h"

namespace mkx::platform {

std::string PrivateFileName(const std::string& target, const std::string& directory) {
  std::random_device random;
  const size_t start = FileNameStart(target);
  char suffix[24];
  const unsigned long long r = (static_cast<unsigned long long>(random()) << 16 ^ random()) & 0xFFFFFFFFFFFFull;
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", r);
  const std::string dir = directory.empty() ? target.substr(0, start) : directory;
  return dir + "." + target.substr(start).substr(0, 200) + suffix;
}

std::string RandomTempName(const std::string& base) {
  std::random_device random;
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08X%08X.tmp", static_cast<unsigned>(random()),
                static_cast<unsigned>(random()));
  return base + digits;
}

}  // namespace mkx::platform
