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
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENAMETOOLONG:
      return kErrorInsufficientBuffer;
    case ENOEXEC:
      return kErrorBadFormat;
    case EINVAL:
      return kErrorInvalidParameter;
    default:
      return kErrorInvalidData;
  }
}

}  // namespace os
