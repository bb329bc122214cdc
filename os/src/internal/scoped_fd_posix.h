// The OS layer's own files reach os/posix/scoped_fd.h under the name they have always used.
// Private to the OS layer.

#ifndef OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_
#define OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_

#include "os/posix/scoped_fd.h"

namespace os::internal {

using posix::ScopedFd;

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_
