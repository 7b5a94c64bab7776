// InstallerDatabase: the Windows Installer database operations the tool uses, with
// the platform library's names, handle semantics and result codes, implemented on
// our own engine (the "native" back end) or, on Windows, passed straight to the
// system's msi.dll (the "system" back end, MKX_INSTALLER_SYSTEM; handles are then the
// system's and the native-only members below do not exist).
//
// Handles are unsigned 32-bit values, 0 meaning none; each database, view and record
// lives until MsiCloseHandle. A view keeps its database alive even when the database
// handle is closed first. Nothing here throws: every operation returns a result code
// (ERROR_NOT_ENOUGH_MEMORY when memory runs out inside it), and the operations Microsoft lists as doing so set or clear the calling thread's
// last error record (MsiGetLastErrorRecord hands it out once, then clears it).
//
// Database handle lifecycle: open read-only (never writes) or transacted (changes in
// memory) -> views execute -> commit writes the changes -> close discards whatever
// was not committed.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <variant>
#include <vector>

#include "engine/value.h"
#include "platform/result.h"
#include "platform/temp_files.h"

namespace mkx {
// The result codes under the Windows SDK's names, for the installer's callers. (A
// file that also includes the SDK's headers includes this one first.)
inline constexpr uint32_t ERROR_SUCCESS = result_code::kSuccess;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = result_code::kFileNotFound;
inline constexpr uint32_t ERROR_ACCESS_DENIED = result_code::kAccessDenied;
inline constexpr uint32_t ERROR_INVALID_HANDLE = result_code::kInvalidHandle;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = result_code::kNotEnoughMemory;
inline constexpr uint32_t ERROR_INVALID_DATA = result_code::kInvalidData;
inline constexpr uint32_t ERROR_WRITE_FAULT = result_code::kWriteFault;
inline constexpr uint32_t ERROR_READ_FAULT = result_code::kReadFault;
inline constexpr uint32_t ERROR_HANDLE_DISK_FULL = result_code::kHandleDiskFull;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = result_code::kInvalidParameter;
inline constexpr uint32_t ERROR_OPEN_FAILED = result_code::kOpenFailed;
inline constexpr uint32_t ERROR_CALL_NOT_IMPLEMENTED = result_code::kCallNotImplemented;
inline constexpr uint32_t ERROR_BAD_PATHNAME = result_code::kBadPathname;
inline constexpr uint32_t ERROR_NO_DATA = result_code::kNoData;
inline constexpr uint32_t ERROR_MORE_DATA = result_code::kMoreData;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = result_code::kNoMoreItems;
inline constexpr uint32_t ERROR_INVALID_HANDLE_STATE = result_code::kInvalidHandleState;
inline constexpr uint32_t ERROR_BAD_QUERY_SYNTAX = result_code::kBadQuerySyntax;
inline constexpr uint32_t ERROR_INVALID_FIELD = result_code::kInvalidField;
inline constexpr uint32_t ERROR_INSTALL_PACKAGE_INVALID = result_code::kInstallPackageInvalid;
inline constexpr uint32_t ERROR_INSTALL_TRANSFORM_FAILURE = result_code::kInstallTransformFailure;
inline constexpr uint32_t ERROR_FUNCTION_FAILED = result_code::kFunctionFailed;
inline constexpr uint32_t ERROR_INVALID_TABLE = result_code::kInvalidTable;
inline constexpr uint32_t ERROR_DATATYPE_MISMATCH = result_code::kDatatypeMismatch;
inline constexpr uint32_t ERROR_CREATE_FAILED = result_code::kCreateFailed;
}  // namespace mkx

namespace mkx::engine {
class Database;
}
namespace mkx::sql {
class View;
}

namespace mkx::installer {

using MSIHANDLE = uint32_t;
using UINT = uint32_t;
using DWORD = uint32_t;
using LPCWSTR = const char16_t*;
using LPWSTR = char16_t*;

/// Persist modes: the platform passes them as small integers in a string pointer.
inline const LPCWSTR MSIDBOPEN_READONLY = reinterpret_cast<LPCWSTR>(0);
inline const LPCWSTR MSIDBOPEN_TRANSACT = reinterpret_cast<LPCWSTR>(1);

/// Field values of a record; field 0 is the format template.
struct Record {
  std::vector<engine::Value> fields;  // size = field count + 1
};

class InstallerDatabase {
 public:
  InstallerDatabase();
  ~InstallerDatabase();
  InstallerDatabase(const InstallerDatabase&) = delete;
  InstallerDatabase& operator=(const InstallerDatabase&) = delete;

  // Databases.
  UINT MsiOpenDatabaseW(LPCWSTR szDatabasePath, LPCWSTR szPersist, MSIHANDLE* phDatabase);
  UINT MsiDatabaseCommit(MSIHANDLE hDatabase);
  /// Not an installer function: opens a private scratch copy this process created as
  /// MsiOpenDatabaseW does with MSIDBOPEN_TRANSACT, except that its commits are not
  /// flushed to stable storage (the copy is deleted after use and nobody reads it
  /// after a crash; see platform/scratch_file.h), and that it is refused
  /// (ERROR_OPEN_FAILED) when its name no longer leads to the file that was created
  /// (platform::OpenTempFile). The system back end opens the path with
  /// MSIDBOPEN_TRANSACT.
#if MKX_INSTALLER_SYSTEM
  UINT OpenScratchDatabase(const platform::TempFile& copy, MSIHANDLE* phDatabase) {
    return MsiOpenDatabaseW(copy.path().c_str(), MSIDBOPEN_TRANSACT, phDatabase);
  }
#else
  UINT OpenScratchDatabase(const platform::TempFile& copy, MSIHANDLE* phDatabase);
#endif
  UINT MsiDatabaseGenerateTransformW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                     LPCWSTR szTransformFile, int iReserved1, int iReserved2);
  UINT MsiCreateTransformSummaryInfoW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                      LPCWSTR szTransformFile, int iErrorConditions,
                                      int iValidation);

  // Views.
  UINT MsiDatabaseOpenViewW(MSIHANDLE hDatabase, LPCWSTR szQuery, MSIHANDLE* phView);
  UINT MsiViewExecute(MSIHANDLE hView, MSIHANDLE hRecord);
  UINT MsiViewFetch(MSIHANDLE hView, MSIHANDLE* phRecord);
  /// Ends an execution (its remaining rows are dropped), so the view can be executed
  /// again with new parameters.
  UINT MsiViewClose(MSIHANDLE hView);

  // Records.
  MSIHANDLE MsiCreateRecord(UINT cParams);
  UINT MsiRecordSetStringW(MSIHANDLE hRecord, UINT iField, LPCWSTR szValue);
  UINT MsiRecordGetStringW(MSIHANDLE hRecord, UINT iField, LPWSTR szValueBuf, DWORD* pcchValueBuf);

  // Errors.
  MSIHANDLE MsiGetLastErrorRecord();
  UINT MsiFormatRecordW(MSIHANDLE hInstall, MSIHANDLE hRecord, LPWSTR szResultBuf,
                        DWORD* pcchResultBuf);

  UINT MsiCloseHandle(MSIHANDLE hAny);

#if !MKX_INSTALLER_SYSTEM
  /// Number of open handles (for tests: every handle must be closed by its owner).
  size_t open_handle_count() const { return handles_.size(); }

 private:
  struct ViewObject {
    std::shared_ptr<engine::Database> database;
    std::unique_ptr<sql::View> view;
  };
  using Object = std::variant<std::shared_ptr<engine::Database>, ViewObject, Record>;

  MSIHANDLE Add(Object object);
  template <typename T>
  T* Find(MSIHANDLE handle);

  std::unordered_map<MSIHANDLE, Object> handles_;
  MSIHANDLE next_handle_ = 1;
#endif
};

#if !MKX_INSTALLER_SYSTEM

/// Formats a record as MsiFormatRecordW does without an install handle: field 0 as
/// a template with [n] replaced by field n, or "1: v1 2: v2 ..." when field 0 is null.
std::u16string FormatRecordText(const Record& record);

/// The calling thread's last error record data (tests and the installer layer only).
void SetLastError(const Error& error);
void ClearLastError();
#endif

}  // namespace mkx::installer
