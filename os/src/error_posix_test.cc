#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "os/result.h"

namespace os {
namespace {

TEST(ErrorPosixTest, ErrnoMapsOntoTheWindowsCodeOfTheSameFailure) {
  const struct {
    int errno_value;
    ErrorCode expected;
  } cases[] = {
      {0, kErrorSuccess},
      {ENOENT, kErrorFileNotFound},
      {ENOTDIR, kErrorPathNotFound},
      {EACCES, kErrorAccessDenied},
      {EPERM, kErrorAccessDenied},
      {EROFS, kErrorAccessDenied},
      {EISDIR, kErrorAccessDenied},
      {ENOMEM, kErrorNotEnoughMemory},
      {ENAMETOOLONG, kErrorInsufficientBuffer},
      {ENOEXEC, kErrorBadFormat},
      {EINVAL, kErrorInvalidParameter},
      {ENOSPC, kErrorDiskFull},
      {EDQUOT, kErrorDiskQuotaExceeded},
      {EFBIG, kErrorFileTooLarge},
      {EEXIST, kErrorAlreadyExists},
      {ENOTEMPTY, kErrorDirNotEmpty},
      {EBUSY, kErrorSharingViolation},
      {ETXTBSY, kErrorSharingViolation},
      {EMFILE, kErrorTooManyOpenFiles},
      {ENFILE, kErrorTooManyOpenFiles},
      {ELOOP, kErrorCantResolveFilename},
      {EIO, kErrorIoDevice},
      {EXDEV, kErrorNotSameDevice},
      {EBADF, kErrorInvalidHandle},
      {ENOSYS, kErrorNotSupported},
      {EOPNOTSUPP, kErrorNotSupported},
      {ETIMEDOUT, kErrorTimeout},
      {EPROTO, kErrorInvalidData},  // no counterpart
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorFromErrno(c.errno_value), c.expected) << strerror(c.errno_value);
  }
}

}  // namespace
}  // namespace os
