// Helpers shared by the POSIX backend's files: environment lookups (os/posix/environment.h, here
// under their internal names), the home directory and the MAX_PATH check.  Private to the OS
// layer.

#ifndef OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_
#define OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_

#include <string>

#include "os/posix/environment.h"
#include "os/result.h"

namespace os::internal {

using posix::GetEnv;
using posix::SystemPath;
using posix::SystemRoot;

// The user's home directory: $HOME, or the password database's entry for the real user.
std::string HomeDirectory();

// Checks that a UTF-8 path fits the MAX_PATH buffers and converts it to a wide string.
Result<std::wstring> FitMaxPath(const std::string& utf8_path);

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_
