// The "system" back end: every operation goes to the Windows Installer library
// (msi.dll) unchanged. Handles, result codes, the last error record and its text are
// all the system's; this file only adapts the types (char16_t and wchar_t are the
// same 16-bit units on Windows, and the handle and length types are 32-bit there).
#include "installer/installer_database.h"

#include <type_traits>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

namespace mkx::installer {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are 16-bit");
static_assert(sizeof(::MSIHANDLE) == sizeof(MSIHANDLE), "installer handles are 32-bit");
static_assert(sizeof(::DWORD) == sizeof(DWORD), "DWORD is 32-bit");

const wchar_t* Wide(LPCWSTR text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(LPWSTR text) { return reinterpret_cast<wchar_t*>(text); }
// Our MSIHANDLE and DWORD are both uint32_t; the system's are both unsigned long.
static_assert(std::is_same_v<::MSIHANDLE, ::DWORD>);
::DWORD* Out(uint32_t* value) { return reinterpret_cast<::DWORD*>(value); }

}  // namespace

InstallerDatabase::InstallerDatabase() = default;
InstallerDatabase::~InstallerDatabase() = default;

UINT InstallerDatabase::MsiOpenDatabaseW(LPCWSTR szDatabasePath, LPCWSTR szPersist, MSIHANDLE* phDatabase) {
  // A persist mode is a small integer carried in the pointer, passed on as it is.
  return ::MsiOpenDatabaseW(Wide(szDatabasePath), Wide(szPersist), Out(phDatabase));
}

UINT InstallerDatabase::MsiDatabaseCommit(MSIHANDLE hDatabase) { return ::MsiDatabaseCommit(hDatabase); }

UINT InstallerDatabase::MsiDatabaseGenerateTransformW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                                      LPCWSTR szTransformFile, int iReserved1, int iReserved2) {
  return ::MsiDatabaseGenerateTransformW(hDatabase, hDatabaseReference, Wide(szTransformFile), iReserved1,
                                         iReserved2);
}

UINT InstallerDatabase::MsiCreateTransformSummaryInfoW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                                       LPCWSTR szTransformFile, int iErrorConditions,
                                                       int iValidation) {
  return ::MsiCreateTransformSummaryInfoW(hDatabase, hDatabaseReference, Wide(szTransformFile),
                                          iErrorConditions, iValidation);
}

UINT InstallerDatabase::MsiDatabaseOpenViewW(MSIHANDLE hDatabase, LPCWSTR szQuery, MSIHANDLE* phView) {
  return ::MsiDatabaseOpenViewW(hDatabase, Wide(szQuery), Out(phView));
}

UINT InstallerDatabase::MsiViewExecute(MSIHANDLE hView, MSIHANDLE hRecord) {
  return ::MsiViewExecute(hView, hRecord);
}

UINT InstallerDatabase::MsiViewFetch(MSIHANDLE hView, MSIHANDLE* phRecord) {
  return ::MsiViewFetch(hView, Out(phRecord));
}

UINT InstallerDatabase::MsiViewClose(MSIHANDLE hView) { return ::MsiViewClose(hView); }

MSIHANDLE InstallerDatabase::MsiCreateRecord(UINT cParams) { return ::MsiCreateRecord(cParams); }

UINT InstallerDatabase::MsiRecordSetStringW(MSIHANDLE hRecord, UINT iField, LPCWSTR szValue) {
  return ::MsiRecordSetStringW(hRecord, iField, Wide(szValue));
}

UINT InstallerDatabase::MsiRecordGetStringW(MSIHANDLE hRecord, UINT iField, LPWSTR szValueBuf,
                                            DWORD* pcchValueBuf) {
  return ::MsiRecordGetStringW(hRecord, iField, Wide(szValueBuf), Out(pcchValueBuf));
}

MSIHANDLE InstallerDatabase::MsiGetLastErrorRecord() { return ::MsiGetLastErrorRecord(); }

UINT InstallerDatabase::MsiFormatRecordW(MSIHANDLE hInstall, MSIHANDLE hRecord, LPWSTR szResultBuf,
                                         DWORD* pcchResultBuf) {
  return ::MsiFormatRecordW(hInstall, hRecord, Wide(szResultBuf), Out(pcchResultBuf));
}

UINT InstallerDatabase::MsiCloseHandle(MSIHANDLE hAny) { return ::MsiCloseHandle(hAny); }

}  // namespace mkx::installer
