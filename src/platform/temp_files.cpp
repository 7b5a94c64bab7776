#include "platform/temp_files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

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

Result<std::u16string> CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix) {
  if (directory.empty()) return SystemError(result_code::kBadPathname, directory, SystemErrorText(ENOENT));
  static const char kHex[] = "0123456789ABCDEF";
  std::random_device seed;
  std::minstd_rand rng(seed());
  const std::string base = Narrow(directory) + Narrow(prefix.substr(0, 3));
  unsigned start = rng() & 0xFFFF;
  // Walk the whole 16-bit name space once from a random start, as the platform does.
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned unique = (start + i) & 0xFFFF;
    if (unique == 0) continue;
    std::string name = base;
    bool leading = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned digit = (unique >> shift) & 0xF;
      if (leading && digit == 0 && shift > 0) continue;
      leading = false;
      name.push_back(kHex[digit]);
    }
    name += ".tmp";
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return Widen(name);
    }
    if (errno != EEXIST) return SystemError(result_code::kCreateFailed, Widen(name), SystemErrorText(errno));
  }
  return SystemError(result_code::kCreateFailed, Widen(base + "XXXX.tmp"), SystemErrorText(EEXIST));
}

namespace {

bool CopyContents(int in, int out) {
  // The kernel copies between files without passing the data through user space.
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return false;
  }
  // Fallback: a bounded buffer (continuing from the current offsets).
  static constexpr size_t kChunk = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    ssize_t n = ::read(in, buffer.get(), kChunk);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out, buffer.get() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

}  // namespace

Status CopyFileOver(const std::string& source, const std::string& target) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return SystemError(result_code::kOpenFailed, Widen(source), SystemErrorText(errno));
  struct stat st{};
  const bool stated = ::fstat(in, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int err = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(in);
    return SystemError(result_code::kOpenFailed, Widen(source), SystemErrorText(err));
  }
  // No O_TRUNC: on ext4, truncating a file to zero and writing it again makes close()
  // start writing the whole file to disk (the replace-via-truncate safeguard), which
  // costs more than the copy and slows every later sync and the final delete. A
  // longer old target is cut to the copied length afterwards instead.
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return SystemError(result_code::kCreateFailed, Widen(target), SystemErrorText(err));
  }
  bool ok = CopyContents(in, out);
  if (ok) {
    struct stat copied{};
    const off_t end = ::lseek(out, 0, SEEK_CUR);
    ok = end >= 0 && ::fstat(out, &copied) == 0 && (copied.st_size <= end || ::ftruncate(out, end) == 0);
  }
  int err = errno;  // the reason of the first failure, kept past the calls below
  if (::close(out) != 0 && ok) {
    ok = false;
    err = errno;
  }
  ::close(in);
  if (ok) return Ok{};
  const uint32_t code = err == ENOSPC || err == EDQUOT ? result_code::kHandleDiskFull : result_code::kWriteFault;
  return SystemError(code, Widen(target), SystemErrorText(err));
}

Status RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return Ok{};
  const int err = path.empty() ? ENOENT : errno;
  return SystemError(err == ENOENT ? result_code::kFileNotFound : result_code::kAccessDenied, Widen(path), SystemErrorText(err));
}

bool SameExistingFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (a.empty() || b.empty() || ::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace mkx::platform
