// The property file on Windows, read through the C runtime's own text mode: the
// runtime turns CR LF into LF and ends a disk file at byte 0x1A, so Get() passes its
// bytes on unchanged. The file is opened without denying other readers or writers.
#include "platform/text_file.h"

#include <cstdlib>  // _doserrno
#include <fcntl.h>
#include <io.h>
#include <share.h>

#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

namespace mkx::platform {

Result<std::unique_ptr<TextModeFile>> TextModeFile::Open(const std::string& path) {
  const std::wstring wide = WidePath(path);
  const int fd = ::_wsopen(wide.c_str(), _O_RDONLY | _O_TEXT | _O_NOINHERIT, _SH_DENYNO);
  // The C runtime keeps the system's own code of the failed call.
  if (fd < 0) return SystemError(result_code::kOpenFailed, DecodePath(path), WindowsErrorText(_doserrno));
  return std::unique_ptr<TextModeFile>(new TextModeFile(fd, false));
}

TextModeFile::~TextModeFile() { ::_close(fd_); }

bool TextModeFile::Fill() {
  const int n = ::_read(fd_, buffer_, static_cast<unsigned>(sizeof buffer_));
  if (n > 0) {
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    return true;
  }
  if (n < 0) failed_ = true;
  return false;
}

int TextModeFile::RawGet() {
  if (ended_) return -1;
  if (pos_ == len_ && !Fill()) {
    ended_ = true;
    return -1;
  }
  return buffer_[pos_++];
}

int TextModeFile::Get() { return RawGet(); }

}  // namespace mkx::platform
