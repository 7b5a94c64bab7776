// The name of an output's private temporary file, the same on every platform.
#include <cstdio>
#include <random>

#include "platform/file.h"
#include "platform/output_file.h"

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

}  // namespace mkx::platform
