// The working copy's file services on Windows: the genuine GetTempPathW,
// GetTempFileNameW, CopyFileW and DeleteFileW.
#include "platform/temp_files.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/signal_cleanup.h"
#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

constexpr size_t kNameBuffer = 4160;  // characters, for a directory or a full name

/// The directory the system takes temporary files from, as the environment names it.
std::u16string TempVariable() {
  for (const wchar_t* name : {L"TMP", L"TEMP"}) {
    std::vector<wchar_t> value(::GetEnvironmentVariableW(name, nullptr, 0) + 1, L'\0');
    if (value.size() > 1 && ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())) != 0) {
      return FromWide(value.data());
    }
  }
  return u"GetTempPathW";
}

/// The failure of the Win32 call just made: its own code and the system's text for it.
Error LastError(std::u16string subject) {
  const DWORD err = ::GetLastError();
  return SystemError(err, std::move(subject), WindowsErrorText(err));
}

/// Whether `name` is what GetTempFileNameW makes: a new, empty file, not a link. Some
/// implementations hand out a name that is already taken once every name is.
bool FreshlyMade(const wchar_t* name) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(name, GetFileExInfoStandard, &data)) return false;
  return (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

/// "<prefix>" plus 16 random hexadecimal digits plus ".tmp" in `directory`, created new:
/// for when every four-digit name is taken.
Result<TempFile> CreateRandomTempFile(const std::u16string& directory, const std::u16string& prefix) {
  std::u16string base = directory;
  if (base.back() != u'\\' && base.back() != u'/') base += u'\\';
  base += prefix.substr(0, 3);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomTempName(EncodePath(base));
    const HANDLE file = ::CreateFileW(WidePath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      return TempFile(DecodePath(name), -1);
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return LastError(directory);
  }
  return SystemError(ERROR_FILE_EXISTS, directory, WindowsErrorText(ERROR_FILE_EXISTS));
}

}  // namespace

Result<std::u16string> GetTempDirectory(size_t limit) {
  if (limit == 0) return SystemError(result_code::kBadPathname, u"", WindowsErrorText(ERROR_FILENAME_EXCED_RANGE));
  std::vector<wchar_t> buffer(std::max(limit, kNameBuffer) + 1, L'\0');
  // The result is the length without the terminator, or the size needed when the
  // limit is too small, or 0 on failure.
  const DWORD length = ::GetTempPathW(static_cast<DWORD>(limit), buffer.data());
  if (length == 0) {
    const DWORD err = ::GetLastError();  // before the environment is read
    return SystemError(err, TempVariable(), WindowsErrorText(err));
  }
  if (length >= limit) {
    return SystemError(result_code::kBadPathname, TempVariable(), WindowsErrorText(ERROR_FILENAME_EXCED_RANGE));
  }
  return FromWide(buffer.data());
}

// The system closes the file it creates: a TempFile here holds only its path.
TempFile::~TempFile() = default;
TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::move(other.path_)), descriptor_(std::exchange(other.descriptor_, -1)) {}
TempFile& TempFile::operator=(TempFile&& other) noexcept {
  path_ = std::move(other.path_);
  descriptor_ = std::exchange(other.descriptor_, -1);
  return *this;
}

Result<TempFile> CreateUniqueTempFile(const std::u16string& directory, const std::u16string& prefix) {
  if (directory.empty()) {
    return SystemError(result_code::kBadPathname, directory, WindowsErrorText(ERROR_PATH_NOT_FOUND));
  }
  std::vector<wchar_t> name(kNameBuffer, L'\0');
  // Unique number 0: the system picks an unused name and creates the file empty. A
  // name that is not such a file was not made for this run, and is left alone.
  if (::GetTempFileNameW(AsWide(directory), AsWide(prefix), 0, name.data()) == 0) {
    if (::GetLastError() != ERROR_FILE_EXISTS) return LastError(directory);
  } else if (FreshlyMade(name.data())) {
    return TempFile(FromWide(name.data()), -1);
  }
  return CreateRandomTempFile(directory, prefix);
}

Status CopyFileOver(const std::string& source, TempFile& target) {
  // CopyFileW makes the target anew when it is gone: a console event whose handler
  // deleted the working copy just before the copy began would leave the new one
  // behind. The event waits for the copy instead (see signal_cleanup.cpp).
  DeferTerminationSignals deferred;
  if (::CopyFileW(WidePath(source).c_str(), WidePath(EncodePath(target.path())).c_str(), FALSE)) return Ok{};
  return LastError(target.path());
}

Result<std::unique_ptr<RandomAccessFile>> OpenTempFile(const TempFile& file) {
  return OpenFile(EncodePath(file.path()), FileMode::kReadWrite);
}

Status RemoveFile(const std::string& path) {
  if (path.empty()) return SystemError(result_code::kFileNotFound, u"", WindowsErrorText(result_code::kFileNotFound));
  if (::DeleteFileW(WidePath(path).c_str())) return Ok{};
  return LastError(DecodePath(path));
}

bool SameExistingFile(const std::string& a, const std::string& b) {
  uint64_t volume_a = 0, index_a = 0, volume_b = 0, index_b = 0;
  if (a.empty() || b.empty() || !FileVolumeAndIndex(a, true, volume_a, index_a) ||
      !FileVolumeAndIndex(b, true, volume_b, index_b)) {
    return false;
  }
  return volume_a == volume_b && index_a == index_b;
}

}  // namespace mkx::platform
