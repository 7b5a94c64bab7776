#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system_error.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::platform {
namespace {

Error IoError(uint32_t code, const std::string& path, int err) {
  uint32_t result = code;
  if (code == result_code::kWriteFault && (err == ENOSPC || err == EDQUOT)) result = result_code::kHandleDiskFull;
  return SystemError(result, Widen(path), SystemErrorText(err));
}

class PosixFile final : public RandomAccessFile {
 public:
  PosixFile(int fd, std::string path, bool writable, uint64_t size)
      : fd_(fd), path_(std::move(path)), writable_(writable), size_(size) {}
  ~PosixFile() override { ::close(fd_); }

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoError(result_code::kReadFault, path_, errno);
      }
      if (n == 0) return IoError(result_code::kReadFault, path_, EIO);
      done += static_cast<size_t>(n);
    }
    return Ok{};
  }

  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override {
    if (!writable_) return IoError(result_code::kWriteFault, path_, EBADF);
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoError(result_code::kWriteFault, path_, errno);
      }
      done += static_cast<size_t>(n);
    }
    if (offset + data.size() > size_) size_ = offset + data.size();
    return Ok{};
  }

  uint64_t Size() const override { return size_; }

  Status Sync() override {
    if (writable_ && ::fdatasync(fd_) != 0) return IoError(result_code::kWriteFault, path_, errno);
    return Ok{};
  }

  Status Truncate(uint64_t size) override {
    if (!writable_) return IoError(result_code::kWriteFault, path_, EBADF);
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return IoError(result_code::kWriteFault, path_, errno);
    size_ = size;
    return Ok{};
  }

  bool writable() const override { return writable_; }

 private:
  int fd_;
  std::string path_;
  bool writable_;
  uint64_t size_;
};

}  // namespace

namespace {

/// Opens `path` with `flags` and without blocking (a FIFO without a writer would wait
/// in open() forever), and wraps it if it is a regular file. `created`, when given, is
/// the file it must be (same device and inode).
Result<std::unique_ptr<RandomAccessFile>> OpenRegular(const std::string& path, int flags, uint32_t failure,
                                                      const struct stat* created) {
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return IoError(failure, path, errno);
  struct stat st{};
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (created && (st.st_dev != created->st_dev || st.st_ino != created->st_ino)) {
    ::close(fd);
    return SystemError(failure, Widen(path), u"not the file that was created there");
  } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    err = errno;
  }
  if (err != 0) {
    ::close(fd);
    return IoError(failure, path, err);
  }
  return std::unique_ptr<RandomAccessFile>(
      new PosixFile(fd, path, (flags & O_ACCMODE) != O_RDONLY, static_cast<uint64_t>(st.st_size)));
}

}  // namespace

Result<std::unique_ptr<RandomAccessFile>> OpenFile(const std::string& path, FileMode mode) {
  int flags = 0;
  switch (mode) {
    case FileMode::kReadOnly: flags = O_RDONLY; break;
    // A file written in place is never reached through a final symbolic link: the
    // files the tool writes by name are its own private files, and one swapped for a
    // link (in a world-writable directory without the sticky bit) must not lead the
    // write to another file.
    case FileMode::kReadWrite: flags = O_RDWR | O_NOFOLLOW; break;
    case FileMode::kCreateNew: flags = O_RDWR | O_CREAT | O_EXCL; break;
  }
  const uint32_t failure = mode == FileMode::kCreateNew ? result_code::kCreateFailed : result_code::kOpenFailed;
  return OpenRegular(path, flags, failure, nullptr);
}

// Declared in temp_files.h; here because it makes a PosixFile.
Result<std::unique_ptr<RandomAccessFile>> OpenTempFile(const TempFile& file) {
  const std::string path = EncodePath(file.path());
  struct stat created{};
  if (file.descriptor() < 0 || ::fstat(file.descriptor(), &created) != 0) {
    return IoError(result_code::kOpenFailed, path, file.descriptor() < 0 ? EBADF : errno);
  }
  return OpenRegular(path, O_RDWR | O_NOFOLLOW, result_code::kOpenFailed, &created);
}

size_t FileNameStart(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

bool PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

Status RenameOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return Ok{};
  return SystemError(result_code::kCreateFailed, Widen(to), SystemErrorText(errno));
}

Status SyncParentDirectory(const std::string& path) {
  const size_t start = FileNameStart(path);
  const std::string dir = start == 0 ? "." : start == 1 ? "/" : path.substr(0, start - 1);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return IoError(result_code::kWriteFault, dir, errno);
  const int synced = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (synced != 0) return IoError(result_code::kWriteFault, dir, err);
  return Ok{};
}

}  // namespace mkx::platform
