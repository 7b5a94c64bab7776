// File state on POSIX: stat.
#include "platform/file_state.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/system_error.h"
#include "platform/wide.h"

namespace mkx::platform {

Result<FileState> GetFileState(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return SystemError(result_code::kOpenFailed, DecodePath(path), SystemErrorText(errno));
  }
  auto ns = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return FileState{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

}  // namespace mkx::platform
