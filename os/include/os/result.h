// Results of OS-layer calls: a value, or the Windows error code that the facility reports.
//
// The error codes keep their Windows values on every backend (a POSIX backend maps errno onto
// them), so that log records and results read the same on every platform.  Nothing here does I/O;
// it may be used from any thread.

#ifndef OS_RESULT_H_
#define OS_RESULT_H_

#include <cassert>
#include <cstdint>
#include <utility>

namespace os {

// A Windows system error code (what GetLastError returns, and the LSTATUS of registry calls).
using ErrorCode = uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorTooManyOpenFiles = 4;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorBadFormat = 11;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorNotSameDevice = 17;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorInsufficientBuffer = 122;
inline constexpr ErrorCode kErrorDirNotEmpty = 145;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorFileTooLarge = 223;
inline constexpr ErrorCode kErrorMoreData = 234;
inline constexpr ErrorCode kErrorBadDb = 1009;
inline constexpr ErrorCode kErrorCantOpen = 1011;
inline constexpr ErrorCode kErrorCantRead = 1012;
inline constexpr ErrorCode kErrorNoUnicodeTranslation = 1113;
inline constexpr ErrorCode kErrorIoDevice = 1117;
inline constexpr ErrorCode kErrorDiskQuotaExceeded = 1295;
inline constexpr ErrorCode kErrorTimeout = 1460;
inline constexpr ErrorCode kErrorUnsupportedType = 1630;
inline constexpr ErrorCode kErrorCantResolveFilename = 1921;

// Maps an errno value onto the Windows error code that the corresponding Windows call reports;
// an errno without a counterpart becomes kErrorInvalidData.
ErrorCode ErrorFromErrno(int errno_value);

// Either a value of type T or a non-zero ErrorCode.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

  static Result Failure(ErrorCode error) {
    assert(error != kErrorSuccess);
    Result result;
    result.error_ = error;
    return result;
  }

  bool ok() const { return error_ == kErrorSuccess; }
  ErrorCode error() const { return error_; }

  const T& value() const& {
    assert(ok());
    return value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(value_);
  }

 private:
  Result() = default;

  T value_{};
  ErrorCode error_ = kErrorSuccess;
};

}  // namespace os

#endif  // OS_RESULT_H_
