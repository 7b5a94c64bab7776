#include "platform/temp_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/system_error.h"
#include "platform/wide.h"

namespace mkx::platform {

Result<std::u16string> GetTempDirectory(size_t limit) {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && *env) ? env : "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  if (dir.size() + 1 > limit) return SystemError(result_code::kBadPathname, Widen(dir), SystemErrorText(ENAMETOOLONG));
  return Widen(dir);
}

TempFile::~TempFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::move(other.path_)), descriptor_(std::exchange(other.descriptor_, -1)) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    path_ = std::move(other.path_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

int CreateExclusive(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::fchmod(fd, 0600);  // a umask may have taken the owner's bits
  return fd >= 0 ? fd : -errno;
}

Result<TempFile> CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix) {
  if (directory.empty()) return SystemError(result_code::kBadPathname, directory, SystemErrorText(ENOENT));
  const std::string base = Narrow(directory) + Narrow(prefix.substr(0, 3));
  auto made = [&](const std::string& name, int fd) -> Result<TempFile> {
    if (fd < 0) return SystemError(result_code::kCreateFailed, directory, SystemErrorText(-fd));
    return TempFile(Widen(name), fd);
  };
  // Walk the whole 16-bit name space once from a random start, as the platform does
  // ("msi1A2B.tmp": no leading zeros, 0 is not used).
  const unsigned start = std::random_device{}() & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    const unsigned unique = (start + i) & 0xFFFF;
    if (unique == 0) continue;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%X.tmp", unique);
    const std::string name = base + digits;
    const int fd = CreateExclusive(name);
    if (fd != -EEXIST) return made(name, fd);
  }
  // Every short name is taken (left behind by crashed runs, or planted): a 64-bit
  // random name in the same directory, which nobody can exhaust.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomTempName(base);
    const int fd = CreateExclusive(name);
    if (fd != -EEXIST) return made(name, fd);
  }
  return SystemError(result_code::kCreateFailed, directory, SystemErrorText(EEXIST));
}

namespace {

/// Copies `length` bytes at `offset` from `in` to the same offset of `out`: in the
/// kernel where it can be, else with a bounded buffer. Stops early at the source's
/// end. Returns false with errno set on failure.
bool CopyRange(int in, int out, off_t offset, off_t length) {
  off_t in_offset = offset, out_offset = offset;
  const off_t end = offset + length;
  while (in_offset < end) {
    const ssize_t n = ::copy_file_range(in, &in_offset, out, &out_offset, static_cast<size_t>(end - in_offset), 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return false;
  }
  if (in_offset >= end) return true;
  static constexpr size_t kChunk = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  while (in_offset < end) {
    const ssize_t n = ::pread(in, buffer.get(), std::min<off_t>(kChunk, end - in_offset), in_offset);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::pwrite(out, buffer.get() + done, static_cast<size_t>(n - done), in_offset + done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    in_offset += n;
  }
  return true;
}

/// Copies the data of `in` (`size` bytes) to `out`, an empty file, leaving the holes
/// out: only the ranges the system reports as data are copied, and the length is set
/// at the end, so a hole reads back as zeros without taking space. Where the system
/// cannot tell holes from data, the whole file is data. Returns false with errno set.
bool CopyContents(int in, int out, off_t size) {
  off_t position = 0;
  while (position < size) {
    off_t data = position, hole = size;
#ifdef SEEK_DATA
    data = ::lseek(in, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole is left
    if (data < 0 && errno != EINVAL) return false;
    if (data < 0) {
      data = position;  // the file system does not say: all data
    } else {
      hole = ::lseek(in, data, SEEK_HOLE);
      if (hole < 0) return false;
    }
#endif
    if (!CopyRange(in, out, data, std::min(hole, size) - data)) return false;
    position = hole;
  }
  return ::ftruncate(out, size) == 0;
}

}  // namespace

Status CopyFileOver(const std::string& source, TempFile& target) {
  // O_NONBLOCK: a FIFO without a writer would block open() forever; it is refused
  // below like any other file that is not a regular one.
  const int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return SystemError(result_code::kOpenFailed, Widen(source), SystemErrorText(errno));
  struct stat st{};
  const bool stated = ::fstat(in, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int err = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(in);
    return SystemError(result_code::kOpenFailed, Widen(source), SystemErrorText(err));
  }
  const int out = target.descriptor();
  bool ok = out >= 0 && CopyContents(in, out, st.st_size);
  const int err = out < 0 ? EBADF : errno;  // the reason of the failure, kept past close()
  ::close(in);
  if (ok) return Ok{};
  const uint32_t code = err == ENOSPC || err == EDQUOT ? result_code::kHandleDiskFull : result_code::kWriteFault;
  return SystemError(code, target.path(), SystemErrorText(err));
}

Status RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return Ok{};
  const int err = path.empty() ? ENOENT : errno;
  return SystemError(err == ENOENT ? result_code::kFileNotFound : result_code::kAccessDenied, Widen(path),
                     SystemErrorText(err));
}

bool SameExistingFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (a.empty() || b.empty() || ::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace mkx::platform
