// The native back end of InstallerDatabase (see installer_database.h): handles over
// our own engine's databases, views and records, and the thread's last error record.
#include "installer/installer_database.h"

#include <new>
#include <optional>
#include <span>
#include <string>

#include "engine/database.h"
#include "engine/sql/view.h"
#include "engine/transform/summary_info.h"
#include "engine/transform/transform_writer.h"
#include "platform/utf8.h"
#include "platform/wide.h"

namespace mkx::installer {
namespace {

// The only global state of the installer layer: each thread's last failure.
thread_local std::optional<Error> t_last_error;

std::u16string_view View(LPCWSTR text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

/// Records the outcome of an operation that sets or clears the last error record.
UINT Finish(const Status& status) {
  if (status.ok()) {
    t_last_error.reset();
    return result_code::kSuccess;
  }
  t_last_error = status.error();
  return status.code();
}

/// Memory ran out inside an operation: it fails as the platform's would, and no
/// exception leaves the interface. The last error record is cleared (a new one would
/// need memory too).
UINT OutOfMemory() {
  t_last_error.reset();
  return result_code::kNotEnoughMemory;
}

UINT Fail(uint32_t code, int msi_error, std::u16string tmpl, std::vector<std::u16string> fields = {}) {
  return Finish(Error(code, msi_error, std::move(tmpl), std::move(fields)));
}

/// Copies text into a caller's buffer with the platform's length protocol: on entry
/// *size is the buffer's capacity in characters; on return it is the text's length
/// without the terminator; result_code::kMoreData when the buffer cannot hold text and NUL.
UINT CopyOut(std::u16string_view text, LPWSTR buffer, DWORD* size) {
  if (!size) return buffer ? result_code::kInvalidParameter : result_code::kSuccess;
  const DWORD capacity = *size;
  *size = static_cast<DWORD>(text.size());
  if (!buffer) return result_code::kSuccess;
  if (capacity <= text.size()) {
    if (capacity > 0) {
      text.substr(0, capacity - 1).copy(buffer, capacity - 1);
      buffer[capacity - 1] = u'\0';
    }
    return result_code::kMoreData;
  }
  text.copy(buffer, text.size());
  buffer[text.size()] = u'\0';
  return result_code::kSuccess;
}

std::u16string FieldText(const engine::Value& value) {
  switch (value.kind) {
    case engine::Value::Kind::kNull: return {};
    case engine::Value::Kind::kInteger: return platform::Widen(std::to_string(value.integer));
    case engine::Value::Kind::kString: return platform::FromExactUtf8(value.text);
  }
  return {};
}

}  // namespace

void SetLastError(const Error& error) { t_last_error = error; }
void ClearLastError() { t_last_error.reset(); }

InstallerDatabase::InstallerDatabase() = default;
InstallerDatabase::~InstallerDatabase() = default;

MSIHANDLE InstallerDatabase::Add(Object object) {
  // Skip 0 and values still in use if the counter ever wraps.
  while (next_handle_ == 0 || handles_.count(next_handle_)) ++next_handle_;
  MSIHANDLE handle = next_handle_++;
  handles_.emplace(handle, std::move(object));
  return handle;
}

template <typename T>
T* InstallerDatabase::Find(MSIHANDLE handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return nullptr;
  return std::get_if<T>(&it->second);
}

// ---- Databases ----------------------------------------------------------------

UINT InstallerDatabase::MsiOpenDatabaseW(LPCWSTR szDatabasePath, LPCWSTR szPersist,
                                         MSIHANDLE* phDatabase) try {
  if (!szDatabasePath || !phDatabase) return result_code::kInvalidParameter;
  *phDatabase = 0;
  engine::OpenMode mode;
  if (szPersist == MSIDBOPEN_READONLY) {
    mode = engine::OpenMode::kReadOnly;
  } else if (szPersist == MSIDBOPEN_TRANSACT) {
    mode = engine::OpenMode::kTransact;
  } else {
    // Direct, create and output-path modes are not offered by this implementation.
    return Fail(result_code::kInvalidParameter, 2203,
                u"Database: [2]. Cannot open database file. System error [3].",
                {std::u16string(View(szDatabasePath)), u"unsupported persist mode"});
  }
  auto opened = engine::Database::Open(platform::EncodePath(View(szDatabasePath)), mode);
  if (!opened.ok()) return Finish(opened.error());
  std::shared_ptr<engine::Database> database(std::move(opened).value().release());
  *phDatabase = Add(std::move(database));
  return Finish(Ok{});
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::OpenScratchDatabase(const platform::TempFile& copy, MSIHANDLE* phDatabase) try {
  if (!phDatabase) return result_code::kInvalidParameter;
  *phDatabase = 0;
  auto opened = engine::Database::Open(platform::OpenTempFile(copy), engine::OpenMode::kTransact,
                                       engine::Durability::kScratch, platform::EncodePath(copy.path()));
  if (!opened.ok()) return Finish(opened.error());
  std::shared_ptr<engine::Database> database(std::move(opened).value().release());
  *phDatabase = Add(std::move(database));
  return Finish(Ok{});
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiDatabaseCommit(MSIHANDLE hDatabase) try {
  auto* database = Find<std::shared_ptr<engine::Database>>(hDatabase);
  if (!database) return result_code::kInvalidHandle;
  return Finish((*database)->Commit());
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiDatabaseGenerateTransformW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                                      LPCWSTR szTransformFile, int iReserved1,
                                                      int iReserved2) try {
  auto* database = Find<std::shared_ptr<engine::Database>>(hDatabase);
  auto* reference = Find<std::shared_ptr<engine::Database>>(hDatabaseReference);
  if (!database || !reference) return result_code::kInvalidHandle;
  if (iReserved1 != 0 || iReserved2 != 0) return result_code::kInvalidParameter;
  if (!szTransformFile || !*szTransformFile) {
    // Without a path the operation only compares.
    return Fail(result_code::kInvalidParameter, 2203, u"Database: [2]. Cannot open database file. System error [3].",
                {u"", u"no transform path given"});
  }
  return Finish(engine::GenerateTransform(**database, **reference,
                                          platform::EncodePath(View(szTransformFile))));
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiCreateTransformSummaryInfoW(MSIHANDLE hDatabase, MSIHANDLE hDatabaseReference,
                                                       LPCWSTR szTransformFile, int iErrorConditions,
                                                       int iValidation) try {
  auto* database = Find<std::shared_ptr<engine::Database>>(hDatabase);
  auto* reference = Find<std::shared_ptr<engine::Database>>(hDatabaseReference);
  if (!database || !reference) return result_code::kInvalidHandle;
  if (!szTransformFile || !*szTransformFile) return result_code::kInvalidParameter;
  return Finish(engine::CreateTransformSummaryInfo(**database, **reference,
                                                   platform::EncodePath(View(szTransformFile)),
                                                   iErrorConditions, iValidation));
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

// ---- Views --------------------------------------------------------------------

UINT InstallerDatabase::MsiDatabaseOpenViewW(MSIHANDLE hDatabase, LPCWSTR szQuery, MSIHANDLE* phView) try {
  auto* database = Find<std::shared_ptr<engine::Database>>(hDatabase);
  if (!database) return result_code::kInvalidHandle;
  if (!szQuery || !phView) return result_code::kInvalidParameter;
  *phView = 0;
  auto view = sql::View::Open(**database, View(szQuery));
  if (!view.ok()) return Finish(view.error());
  *phView = Add(ViewObject{*database, std::move(view).value()});
  return Finish(Ok{});
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiViewExecute(MSIHANDLE hView, MSIHANDLE hRecord) try {
  auto* view = Find<ViewObject>(hView);
  if (!view) return result_code::kInvalidHandle;
  std::span<const engine::Value> params;
  if (hRecord != 0) {
    auto* record = Find<Record>(hRecord);
    if (!record) return result_code::kInvalidHandle;
    if (!record->fields.empty()) params = std::span<const engine::Value>(record->fields).subspan(1);  // not field 0
  }
  return Finish(view->view->Execute(params));
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiViewFetch(MSIHANDLE hView, MSIHANDLE* phRecord) try {
  auto* view = Find<ViewObject>(hView);
  if (!view) return result_code::kInvalidHandle;
  if (!phRecord) return result_code::kInvalidParameter;
  *phRecord = 0;
  auto row = view->view->Fetch();
  if (!row.ok()) return row.code();
  if (!row->has_value()) return result_code::kNoMoreItems;
  Record record;
  record.fields.reserve((*row)->size() + 1);
  record.fields.push_back(engine::Value::Null());
  for (auto& value : **row) record.fields.push_back(std::move(value));
  *phRecord = Add(std::move(record));
  return result_code::kSuccess;
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiViewClose(MSIHANDLE hView) {
  auto* view = Find<ViewObject>(hView);
  if (!view) return result_code::kInvalidHandle;
  view->view->Close();
  return result_code::kSuccess;
}

// ---- Records ------------------------------------------------------------------

MSIHANDLE InstallerDatabase::MsiCreateRecord(UINT cParams) try {
  // The platform caps a record at 65,536 fields.
  if (cParams > 65536) return 0;
  Record record;
  record.fields.resize(static_cast<size_t>(cParams) + 1);
  return Add(std::move(record));
} catch (const std::bad_alloc&) {
  OutOfMemory();
  return 0;
}

UINT InstallerDatabase::MsiRecordSetStringW(MSIHANDLE hRecord, UINT iField, LPCWSTR szValue) try {
  auto* record = Find<Record>(hRecord);
  if (!record) return result_code::kInvalidHandle;
  if (iField >= record->fields.size()) return result_code::kInvalidParameter;
  record->fields[iField] = engine::Value::String(platform::ExactUtf8(View(szValue)));
  return result_code::kSuccess;
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiRecordGetStringW(MSIHANDLE hRecord, UINT iField, LPWSTR szValueBuf,
                                            DWORD* pcchValueBuf) try {
  auto* record = Find<Record>(hRecord);
  if (!record) return result_code::kInvalidHandle;
  if (iField >= record->fields.size()) return CopyOut({}, szValueBuf, pcchValueBuf);
  return CopyOut(FieldText(record->fields[iField]), szValueBuf, pcchValueBuf);
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

// ---- Errors -------------------------------------------------------------------

MSIHANDLE InstallerDatabase::MsiGetLastErrorRecord() try {
  if (!t_last_error) return 0;
  const Error& error = *t_last_error;
  Record record;
  record.fields.reserve(error.fields.size() + 2);
  record.fields.push_back(engine::Value::String(platform::ExactUtf8(error.message_template)));
  record.fields.push_back(engine::Value::Integer(error.msi_error != 0 ? error.msi_error
                                                                      : static_cast<int>(error.code)));
  for (const auto& field : error.fields) record.fields.push_back(engine::Value::String(platform::ExactUtf8(field)));
  t_last_error.reset();  // handed out once
  return Add(std::move(record));
} catch (const std::bad_alloc&) {
  OutOfMemory();
  return 0;
}

std::u16string FormatRecordText(const Record& record) {
  std::u16string out;
  const size_t count = record.fields.size();
  if (count == 0) return out;
  if (record.fields[0].is_null()) {
    for (size_t i = 1; i < count; ++i) {
      if (i > 1) out.push_back(u' ');
      out += platform::Widen(std::to_string(i));
      out += u": ";
      out += FieldText(record.fields[i]);
    }
    return out;
  }
  const std::u16string tmpl = FieldText(record.fields[0]);
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == u'[') {
      size_t j = i + 1;
      size_t n = 0;
      while (j < tmpl.size() && tmpl[j] >= u'0' && tmpl[j] <= u'9' && j - i <= 5) {
        n = n * 10 + (tmpl[j] - u'0');
        ++j;
      }
      if (j > i + 1 && j < tmpl.size() && tmpl[j] == u']') {
        if (n < count) out += FieldText(record.fields[n]);
        i = j;
        continue;
      }
    }
    out.push_back(tmpl[i]);
  }
  return out;
}

UINT InstallerDatabase::MsiFormatRecordW(MSIHANDLE hInstall, MSIHANDLE hRecord, LPWSTR szResultBuf,
                                         DWORD* pcchResultBuf) try {
  if (hInstall != 0) return result_code::kInvalidHandle;  // no install sessions here
  auto* record = Find<Record>(hRecord);
  if (!record) return result_code::kInvalidHandle;
  if (szResultBuf && !pcchResultBuf) return result_code::kInvalidParameter;
  return CopyOut(FormatRecordText(*record), szResultBuf, pcchResultBuf);
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

UINT InstallerDatabase::MsiCloseHandle(MSIHANDLE hAny) {
  if (hAny == 0) return result_code::kSuccess;
  return handles_.erase(hAny) ? result_code::kSuccess : result_code::kInvalidHandle;
}

}  // namespace mkx::installer
