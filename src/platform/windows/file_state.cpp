// File state on Windows: GetFileInformationByHandle (volume, index, size, write time;
// the creation time stands in for the change time Windows does not keep).
#include "platform/file_state.h"

#include "platform/system_error.h"
#include "platform/wide.h"
#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {

Result<FileState> GetFileState(const std::string& path) {
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, &info) != 0;
  const DWORD error = ::GetLastError();
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  if (!ok) return SystemError(result_code::kOpenFailed, DecodePath(path), WindowsErrorText(error));
  auto join = [](DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; };
  auto time = [&](const FILETIME& t) { return static_cast<int64_t>(join(t.dwHighDateTime, t.dwLowDateTime)) * 100; };
  return FileState{info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow),
                   join(info.nFileSizeHigh, info.nFileSizeLow), time(info.ftLastWriteTime),
                   time(info.ftCreationTime)};
}

}  // namespace mkx::platform
