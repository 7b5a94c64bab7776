// Result codes and the small result type used below the installer interface.
//
// Result codes are the Windows ones (winerror.h values), so the installer layer can
// hand them to callers unchanged. Their names here are our own
// (result_code::kAccessDenied), so this header and the Windows SDK's can be included
// in any order; the installer layer gives them the SDK's names for its callers. An
// Error also carries what the installer's last error record needs: an installer
// error number, a format template and its fields.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace mkx {

namespace result_code {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kInvalidData = 13;
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kHandleDiskFull = 39;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kOpenFailed = 110;
inline constexpr uint32_t kCallNotImplemented = 120;
inline constexpr uint32_t kBadPathname = 161;
inline constexpr uint32_t kNoData = 232;
inline constexpr uint32_t kMoreData = 234;
inline constexpr uint32_t kNoMoreItems = 259;
inline constexpr uint32_t kInvalidHandleState = 1609;
inline constexpr uint32_t kBadQuerySyntax = 1615;
inline constexpr uint32_t kInvalidField = 1616;
inline constexpr uint32_t kInstallPackageInvalid = 1620;
inline constexpr uint32_t kInstallTransformFailure = 1624;
inline constexpr uint32_t kFunctionFailed = 1627;
inline constexpr uint32_t kInvalidTable = 1628;
inline constexpr uint32_t kDatatypeMismatch = 1629;
inline constexpr uint32_t kCreateFailed = 1631;
}  // namespace result_code

/// A failure: the result code to return, plus the data of an installer error record.
/// `msi_error` is the installer error number (record field 1); `fields` are fields
/// 2..n; `message_template` is the record's field 0, where [2], [3], ... refer to
/// `fields` (the template is what turns the record into one English sentence).
struct Error {
  uint32_t code = result_code::kFunctionFailed;
  int msi_error = 0;
  std::u16string message_template;
  std::vector<std::u16string> fields;

  Error() = default;
  explicit Error(uint32_t result_code) : code(result_code) {}
  Error(uint32_t result_code, int installer_error, std::u16string tmpl,
        std::vector<std::u16string> details = {})
      : code(result_code), msi_error(installer_error), message_template(std::move(tmpl)),
        fields(std::move(details)) {}
};

/// Either a value or an Error. Expected failures (a corrupt file, a bad statement)
/// travel as values of this type, never as exceptions.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(state_); }
  Error&& take_error() { return std::get<1>(std::move(state_)); }
  uint32_t code() const { return ok() ? result_code::kSuccess : error().code; }

 private:
  std::variant<T, Error> state_;
};

struct Ok {};

/// Success or an Error, for operations that produce nothing.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Ok) {}  // NOLINT
  Status(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT
  template <typename T>
  Status(const Result<T>& result) {  // NOLINT: keeps the error of a failed result
    if (!result.ok()) {
      error_ = result.error();
      failed_ = true;
    }
  }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }
  uint32_t code() const { return failed_ ? error_.code : result_code::kSuccess; }

 private:
  Error error_;
  bool failed_ = false;
};

/// Propagates a failure out of the enclosing function (which returns Status or Result).
#define MKX_TRY(expr)                        \
  do {                                       \
    auto mkx_try_status_ = (expr);           \
    if (!mkx_try_status_.ok()) {             \
      return ::mkx::Status(mkx_try_status_).error(); \
    }                                        \
  } while (0)

}  // namespace mkx
