// Random-access files on Windows: CreateFileW handles, reads and writes at explicit
// offsets (OVERLAPPED offsets on a synchronous handle), FlushFileBuffers for Sync.
// Files are opened without denying other readers or writers, as on POSIX.
#include "platform/file.h"

#include <algorithm>
#include <cctype>

#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

Error IoError(uint32_t code, const std::string& path, DWORD err) {
  uint32_t result = code;
  if (code == result_code::kWriteFault && (err == ERROR_DISK_FULL || err == result_code::kHandleDiskFull)) {
    result = result_code::kHandleDiskFull;
  }
  return SystemError(result, DecodePath(path), WindowsErrorText(err));
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

constexpr size_t kMaxChunk = size_t{1} << 30;  // one ReadFile/WriteFile call at most

class WindowsFile final : public RandomAccessFile {
 public:
  WindowsFile(HANDLE handle, std::string path, bool writable, uint64_t size)
      : handle_(handle), path_(std::move(path)), writable_(writable), size_(size) {}
  ~WindowsFile() override { ::CloseHandle(handle_); }

  Status ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      OVERLAPPED at = At(offset + done);
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min(out.size() - done, kMaxChunk));
      if (!::ReadFile(handle_, out.data() + done, chunk, &n, &at)) {
        const DWORD err = ::GetLastError();
        return IoError(result_code::kReadFault, path_, err == ERROR_HANDLE_EOF ? result_code::kReadFault : err);
      }
      if (n == 0) return IoError(result_code::kReadFault, path_, ERROR_HANDLE_EOF);
      done += n;
    }
    return Ok{};
  }

  Status WriteAt(uint64_t offset, std::span<const uint8_t> data) override {
    if (!writable_) return IoError(result_code::kWriteFault, path_, result_code::kAccessDenied);
    size_t done = 0;
    while (done < data.size()) {
      OVERLAPPED at = At(offset + done);
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min(data.size() - done, kMaxChunk));
      if (!::WriteFile(handle_, data.data() + done, chunk, &n, &at)) {
        return IoError(result_code::kWriteFault, path_, ::GetLastError());
      }
      if (n == 0) return IoError(result_code::kWriteFault, path_, result_code::kWriteFault);
      done += n;
    }
    if (offset + data.size() > size_) size_ = offset + data.size();
    return Ok{};
  }

  uint64_t Size() const override { return size_; }

  Status Sync() override {
    if (writable_ && !::FlushFileBuffers(handle_)) return IoError(result_code::kWriteFault, path_, ::GetLastError());
    return Ok{};
  }

  Status Truncate(uint64_t size) override {
    if (!writable_) return IoError(result_code::kWriteFault, path_, result_code::kAccessDenied);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end)) {
      return IoError(result_code::kWriteFault, path_, ::GetLastError());
    }
    size_ = size;
    return Ok{};
  }

  bool writable() const override { return writable_; }

 private:
  HANDLE handle_;
  std::string path_;
  bool writable_;
  uint64_t size_;
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

Result<std::unique_ptr<RandomAccessFile>> OpenFile(const std::string& path, FileMode mode) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case FileMode::kReadOnly: access = GENERIC_READ; break;
    case FileMode::kReadWrite: break;
    case FileMode::kCreateNew: disposition = CREATE_NEW; break;
  }
  const uint32_t failure = mode == FileMode::kCreateNew ? result_code::kCreateFailed : result_code::kOpenFailed;
  const std::wstring wide = WidePath(path);
  HANDLE handle = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return IoError(failure, path, ::GetLastError());
  // Only disk files: a console, pipe or device has no size and no offsets.
  LARGE_INTEGER size{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size) || size.QuadPart < 0) {
    const DWORD err = ::GetLastError();
    ::CloseHandle(handle);
    return IoError(failure, path, err == NO_ERROR ? result_code::kInvalidParameter : err);
  }
  return std::unique_ptr<RandomAccessFile>(
      new WindowsFile(handle, path, mode != FileMode::kReadOnly, static_cast<uint64_t>(size.QuadPart)));
}

size_t FileNameStart(std::string_view path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) start = i + 1;
  }
  // "C:name" names a file in drive C's current directory.
  if (start == 0 && path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    start = 2;
  }
  return start;
}

bool PathExists(const std::string& path) {
  return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Status RenameOver(const std::string& from, const std::string& to) {
  if (::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Ok{};
  }
  return SystemError(result_code::kCreateFailed, DecodePath(to), WindowsErrorText(::GetLastError()));
}

Status SyncParentDirectory(const std::string&) {
  // MOVEFILE_WRITE_THROUGH already waited for the rename to reach the disk.
  return Ok{};
}

}  // namespace mkx::platform
