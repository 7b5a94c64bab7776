// TextModeFile on POSIX: the file and its byte buffer. The decoding and the text-mode
// rules are in text_decoding.cpp.
#include "platform/text_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system_error.h"
#include "platform/wide.h"

namespace mkx::platform {

Result<std::unique_ptr<TextModeFile>> TextModeFile::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return SystemError(result_code::kOpenFailed, Widen(path), SystemErrorText(errno));
  struct stat st{};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    return SystemError(result_code::kOpenFailed, Widen(path), SystemErrorText(err));
  }
  // As the Windows C runtime's text mode: only a character device passes 0x1A on.
  const uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
  return std::unique_ptr<TextModeFile>(new TextModeFile(fd, !S_ISCHR(st.st_mode), size));
}

TextModeFile::~TextModeFile() { ::close(fd_); }

bool TextModeFile::Fill() {
  for (;;) {
    ssize_t n = ::read(fd_, buffer_, kReadSize);
    if (n > 0) {
      pos_ = 0;
      len_ = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failure_ = SystemErrorText(errno);
    return false;
  }
}

}  // namespace mkx::platform
