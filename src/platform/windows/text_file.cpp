// TextModeFile on Windows: the file is opened in binary mode and the shared decoder
// (text_decoding.cpp) applies the C runtime's text-mode rules itself, after the
// byte-order mark: the runtime's own text mode would also act on the bytes of a
// UTF-16 file (0x1A is half of U+041A). As the runtime does, 0x1A ends the input of
// everything but a character device. The file is opened without denying other
// readers or writers.
#include "platform/text_file.h"

#include <cstdint>
#include <cstdlib>  // _doserrno
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

namespace mkx::platform {

Result<std::unique_ptr<TextModeFile>> TextModeFile::Open(const std::string& path) {
  const std::wstring wide = WidePath(path);
  const int fd = ::_wsopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO);
  // The C runtime keeps the system's own code of the failed call.
  if (fd < 0) return SystemError(result_code::kOpenFailed, DecodePath(path), WindowsErrorText(_doserrno));
  struct _stat64 st{};
  const bool known = ::_fstat64(fd, &st) == 0;
  const bool device = known && (st.st_mode & _S_IFMT) == _S_IFCHR;
  const uint64_t size = known && (st.st_mode & _S_IFMT) == _S_IFREG ? static_cast<uint64_t>(st.st_size)
                                                                    : UINT64_MAX;
  return std::unique_ptr<TextModeFile>(new TextModeFile(fd, !device, size));
}

TextModeFile::~TextModeFile() { ::_close(fd_); }

bool TextModeFile::Fill() {
  const int n = ::_read(fd_, buffer_, static_cast<unsigned>(kReadSize));
  if (n > 0) {
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    return true;
  }
  if (n < 0) failure_ = WindowsErrorText(_doserrno);
  return false;
}

}  // namespace mkx::platform
