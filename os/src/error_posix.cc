#include <cerrno>

#include "os/result.h"

namespace os {

ErrorCode ErrorFromErrno(int errno_value) {
  switch (errno_value) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // what CreateFileW answers for a directory opened as a file
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENAMETOOLONG:
      return kErrorInsufficientBuffer;
    case ENOEXEC:
      return kErrorBadFormat;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
      return kErrorDiskFull;
    case EDQUOT:
      return kErrorDiskQuotaExceeded;
    case EFBIG:
      return kErrorFileTooLarge;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EBUSY:
    case ETXTBSY:  // a running program's file is open without write sharing on Windows
      return kErrorSharingViolation;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ELOOP:
      return kErrorCantResolveFilename;
    case EIO:
      return kErrorIoDevice;
    case EXDEV:
      return kErrorNotSameDevice;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOSYS:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      return kErrorInvalidData;
  }
}

}  // namespace os
