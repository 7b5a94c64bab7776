#include "platform/text_file.h"

#include <cerrno>
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
  return std::unique_ptr<TextModeFile>(new TextModeFile(fd, S_ISREG(st.st_mode)));
}

TextModeFile::~TextModeFile() { ::close(fd_); }

bool TextModeFile::Fill() {
  for (;;) {
    ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
    if (n > 0) {
      pos_ = 0;
      len_ = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    return false;
  }
}

int TextModeFile::RawGet() {
  if (ended_) return -1;
  if (pos_ == len_ && !Fill()) {
    ended_ = true;
    return -1;
  }
  int c = buffer_[pos_++];
  if (c == 0x1A && stops_at_ctrl_z_) {
    ended_ = true;
    return -1;
  }
  return c;
}

int TextModeFile::Get() {
  int c;
  if (pending_ != -2) {
    c = pending_;
    pending_ = -2;
  } else {
    c = RawGet();
  }
  if (c == '\r') {
    int next = RawGet();
    if (next == '\n') return '\n';
    pending_ = next;
  }
  return c;
}

}  // namespace mkx::platform
