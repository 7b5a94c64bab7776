// Output files on Windows: a temporary file beside the target, flushed, then
// MoveFileExW over it; through a link, over the file it leads to. A read-only file is
// refused before anything is made. A device
// or pipe ("NUL", "COM1", "\\.\pipe\name") is not replaced: the complete bytes are
// written through to it, from a temporary file in the temporary directory.
#include "platform/output_file.h"

#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/system_error.h"
#include "platform/temp_files.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

// An existing path that opens for writing as something other than a disk file.
bool IsDeviceOrPipe(const std::string& path) {
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const DWORD type = ::GetFileType(handle);
  ::CloseHandle(handle);
  return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

// A full path without its "\\?\" prefix or trailing separators, for comparison.
std::wstring_view Comparable(std::wstring_view path) {
  if (path.substr(0, 4) == L"\\\\?\\") path.remove_prefix(4);
  while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  return path;
}

// The file an existing path leads to, through any links; the path itself, as given
// (messages name it so), where no link is on the way.
std::string FinalPath(const std::string& path) {
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::vector<wchar_t> final_path(32768, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(handle, final_path.data(), static_cast<DWORD>(final_path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ::CloseHandle(handle);
  if (length == 0 || length >= final_path.size()) return path;
  std::vector<wchar_t> full_path(32768, L'\0');
  const DWORD full_length = ::GetFullPathNameW(WidePath(path).c_str(), static_cast<DWORD>(full_path.size()),
                                               full_path.data(), nullptr);
  if (full_length != 0 && full_length < full_path.size()) {
    const std::wstring_view final_name = Comparable(final_path.data());
    const std::wstring_view full_name = Comparable(full_path.data());
    if (::CompareStringOrdinal(final_name.data(), static_cast<int>(final_name.size()), full_name.data(),
                               static_cast<int>(full_name.size()), TRUE) == CSTR_EQUAL) {
      return path;
    }
  }
  return EncodePath(FromWide(final_path.data()));
}

Status WriteThrough(const std::string& temp, const std::string& target) {
  auto file = OpenFile(temp, FileMode::kReadOnly);
  if (!file.ok()) return file.take_error();
  std::vector<uint8_t> bytes(static_cast<size_t>((*file)->Size()));
  MKX_TRY((*file)->ReadAt(0, bytes));
  HANDLE handle = ::CreateFileW(WidePath(target).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return SystemError(result_code::kCreateFailed, DecodePath(target), WindowsErrorText(::GetLastError()));
  }
  for (size_t done = 0; done < bytes.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!::WriteFile(handle, bytes.data() + done, chunk, &n, nullptr) || n == 0) {
      const DWORD err = ::GetLastError();
      ::CloseHandle(handle);
      return SystemError(result_code::kWriteFault, DecodePath(target), WindowsErrorText(err));
    }
    done += n;
  }
  ::CloseHandle(handle);
  return Ok{};
}

}  // namespace

Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& path) {
  std::unique_ptr<OutputFile> out(new OutputFile());
  out->target_ = path;
  std::string directory;  // beside the target
  const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return SystemError(result_code::kAccessDenied, DecodePath(path), WindowsErrorText(ERROR_ACCESS_DENIED));
  }
  if (IsDeviceOrPipe(path)) {
    out->kind_ = Kind::kWriteThrough;
    auto temp_directory = GetTempDirectory();
    if (!temp_directory.ok()) return temp_directory.take_error();
    directory = EncodePath(*temp_directory);
  } else {
    out->target_ = FinalPath(path);
  }
  for (int attempt = 0;; ++attempt) {
    const std::string temp = PrivateFileName(out->target_, directory);
    DeferTerminationSignals deferred;  // no signal between creating and arming
    auto opened = OpenFile(temp, FileMode::kCreateNew);
    if (opened.ok()) {
      out->temp_ = temp;
      (void)out->cleanup_.Arm(temp);  // with every slot taken, the file is not covered
      return out;
    }
    if (!PathExists(temp) || attempt >= 100) {
      // Said of the target: the private file's name means nothing to the user.
      const Error error = opened.take_error();
      return SystemError(error.code, DecodePath(path), SystemReason(error));
    }
  }
}

OutputFile::~OutputFile() {
  if (!done_ && !temp_.empty()) (void)RemoveFile(temp_);  // the failure was reported
}

Status OutputFile::Publish() {
  if (kind_ == Kind::kWriteThrough) {
    // A device may wait for its reader: this stays interruptible.
    MKX_TRY(WriteThrough(temp_, target_));
    IgnoreTerminationSignals();
    return Ok{};  // the temporary file goes with this object
  }
  auto file = OpenFile(temp_, FileMode::kReadWrite);
  if (!file.ok()) return file.take_error();
  MKX_TRY((*file)->Sync());
  file->reset();
  {
    DeferTerminationSignals deferred;  // the rename and the end of interruption are one step
    MKX_TRY(RenameOver(temp_, target_));
    IgnoreTerminationSignals();
  }
  done_ = true;
  cleanup_.Disarm();
  (void)SyncParentDirectory(target_);  // the transform is in place either way
  return Ok{};
}

}  // namespace mkx::platform
