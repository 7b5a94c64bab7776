// Output files on POSIX: lstat and readlink to find the file a path names, a
// temporary file beside it, fdatasync, rename and the directory's fsync.
#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include "platform/file.h"
#include "platform/system_error.h"
#include "platform/temp_files.h"
#include "platform/wide.h"

namespace mkx::platform {
namespace {

Error OutputError(uint32_t code, const std::string& path, int error) {
  return SystemError(code, DecodePath(path), SystemErrorText(error));
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, FileNameStart(path)); }

// The path a chain of symbolic links ends at (which need not exist). A link whose
// text does not lead to the file the link itself reaches (a /proc/self/fd entry of a
// pipe, a deleted file or a memfd: "pipe:[7]", "/x.mst (deleted)") ends the walk
// there, with `unnamed` set: that file has no name to write beside, only the link.
Result<std::string> FollowLinks(std::string path, bool& unnamed) {
  unnamed = false;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size() - 1);
    if (n < 0) return OutputError(result_code::kCreateFailed, path, errno);
    std::string link(buffer.data(), static_cast<size_t>(n));
    std::string next = link.starts_with('/') ? link : DirectoryOf(path) + link;
    struct stat reached, named;
    if (::stat(path.c_str(), &reached) == 0 &&
        (::stat(next.c_str(), &named) != 0 || named.st_dev != reached.st_dev || named.st_ino != reached.st_ino)) {
      unnamed = true;
      return path;
    }
    path = std::move(next);
  }
  return OutputError(result_code::kCreateFailed, path, ELOOP);
}

// A new private file "<dir>/.<name>.<random>.tmp" (or in `directory` when given),
// created exclusively (see CreateExclusive); the errno of the last failure otherwise.
Result<std::string> CreateTemp(const std::string& beside, const std::string& directory, int& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = PrivateFileName(beside, directory);
    const int fd = CreateExclusive(temp);
    if (fd >= 0) {
      ::close(fd);
      return temp;
    }
    error = -fd;
    if (error != EEXIST) break;
  }
  return Error(result_code::kCreateFailed);
}

Status WriteAll(int fd, const std::vector<uint8_t>& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return OutputError(errno == ENOSPC ? result_code::kHandleDiskFull : result_code::kWriteFault, path, errno);
    }
    done += static_cast<size_t>(n);
  }
  return Ok{};
}

Result<std::vector<uint8_t>> ReadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return OutputError(result_code::kReadFault, path, errno);
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return OutputError(result_code::kReadFault, path, error);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

}  // namespace

Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& path) {
  bool unnamed = false;
  auto resolved = FollowLinks(path, unnamed);
  if (!resolved.ok()) return resolved.take_error();
  std::unique_ptr<OutputFile> out(new OutputFile());
  out->target_ = *resolved;
  struct stat st;
  const bool exists = ::stat(out->target_.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return OutputError(result_code::kCreateFailed, path, EISDIR);
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
      out->kind_ = Kind::kWriteThrough;
    } else if (!S_ISREG(st.st_mode)) {
      return OutputError(result_code::kCreateFailed, path, EINVAL);
    } else if (::access(out->target_.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) {
      // A read-only file is refused, as Windows refuses it, whoever runs the tool.
      return OutputError(result_code::kAccessDenied, path, EACCES);
    } else if (unnamed) {
      out->kind_ = Kind::kWriteThrough;  // a deleted file or a memfd: written in place
    } else {
      out->keep_owner_ = true;
      out->mode_ = st.st_mode & 07777;
      out->uid_ = st.st_uid;
      out->gid_ = st.st_gid;
    }
  } else {
    // A new file gets what any new file gets: 0666 less the umask (the private file
    // itself is 0600 while it is written).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    out->mode_ = 0666 & ~mask;
  }
  auto temp_directory = [] () -> Result<std::string> {
    auto dir = GetTempDirectory();
    if (!dir.ok()) return dir.take_error();
    return EncodePath(*dir);
  };
  int error = 0;
  DeferTerminationSignals deferred;  // no signal between creating and arming
  Result<std::string> temp = Error(result_code::kCreateFailed);
  if (out->kind_ == Kind::kWriteThrough) {
    auto dir = temp_directory();
    if (!dir.ok()) return dir.take_error();
    temp = CreateTemp(out->target_, *dir, error);
  } else {
    temp = CreateTemp(out->target_, "", error);
    if (!temp.ok() && exists && (error == EACCES || error == EROFS || error == EPERM)) {
      // The directory takes no new file, but the file itself may be written.
      out->kind_ = Kind::kWriteThrough;
      auto dir = temp_directory();
      if (!dir.ok()) return dir.take_error();
      temp = CreateTemp(out->target_, *dir, error);
    }
  }
  if (!temp.ok()) return OutputError(result_code::kCreateFailed, path, error);
  out->temp_ = *temp;
  (void)out->cleanup_.Arm(out->temp_);  // with every slot taken, the file is not covered
  return out;
}

OutputFile::~OutputFile() {
  if (!done_ && !temp_.empty()) (void)RemoveFile(temp_);  // the failure was reported
}

Status OutputFile::Publish() {
  if (kind_ == Kind::kWriteThrough) {
    auto bytes = ReadAll(temp_);
    if (!bytes.ok()) return bytes.take_error();
    const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return OutputError(result_code::kCreateFailed, target_, errno);
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // A file is overwritten with termination signals held back, and they are ignored
    // once it holds the transform: a signal never leaves it half old, half new. A FIFO
    // or device may wait for its reader, and stays interruptible.
    std::optional<DeferTerminationSignals> deferred;
    if (regular) deferred.emplace();
    Status written;
#ifdef FALLOC_FL_KEEP_SIZE
    // A file is given room for the whole transform before it is touched, so that a
    // full disk leaves its previous contents as they were (where the file system
    // cannot reserve room, the write goes ahead without).
    if (regular && !bytes->empty() && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes->size())) != 0 &&
        errno != EOPNOTSUPP) {
      written = OutputError(errno == ENOSPC || errno == EDQUOT ? result_code::kHandleDiskFull : result_code::kWriteFault,
                            target_, errno);
    }
#endif
    // Overwritten from the start, then cut to the transform's size.
    if (written.ok()) written = WriteAll(fd, *bytes, target_);
    if (written.ok() && regular && ::ftruncate(fd, static_cast<off_t>(bytes->size())) != 0) {
      written = OutputError(result_code::kWriteFault, target_, errno);
    }
    if (written.ok() && regular && ::fdatasync(fd) != 0) {
      written = OutputError(result_code::kWriteFault, target_, errno);
    }
    ::close(fd);
    if (written.ok()) IgnoreTerminationSignals();
    return written;  // the temporary file goes with this object
  }
  const int fd = ::open(temp_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return OutputError(result_code::kCreateFailed, target_, errno);
  if (keep_owner_) (void)::fchown(fd, uid_, gid_);  // kept where the user may; else the user's own
  ::fchmod(fd, mode_);
  const bool synced = ::fdatasync(fd) == 0;
  const int sync_error = errno;
  ::close(fd);
  if (!synced) return OutputError(result_code::kWriteFault, target_, sync_error);
  {
    // The rename and the end of interruption are one step for a signal.
    DeferTerminationSignals deferred;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
      const int error = errno;
      // A sticky directory (/tmp) lets only a file's owner replace it, yet the file
      // may be writable: it is then written in place, as where no file can be made.
      if (!keep_owner_ || (error != EPERM && error != EACCES)) {
        return OutputError(result_code::kCreateFailed, target_, error);
      }
      kind_ = Kind::kWriteThrough;
    } else {
      IgnoreTerminationSignals();
    }
  }
  if (kind_ == Kind::kWriteThrough) return Publish();
  done_ = true;
  cleanup_.Disarm();
  // The transform is in place; a directory that cannot be synced leaves only the
  // rename's durability to the file system, and is no reason to fail the run.
  (void)SyncParentDirectory(target_);
  return Ok{};
}

}  // namespace mkx::platform
