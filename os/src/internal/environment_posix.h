// Helpers shared by the POSIX backend's files: environment lookups and the machine-wide root of
// the Windows stand-ins.  Private to the OS layer.

#ifndef OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_
#define OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_

#include <string>

#include "os/result.h"

namespace os::internal {

// The value of environment variable |name| when it is set and not empty; otherwise "".
std::string GetEnv(const char* name);

// The machine-wide root under which the POSIX backend keeps what Windows keeps in the system:
// $TAVORI_SYSTEM_ROOT when set, otherwise /var/lib/tavori.  No trailing separator.
std::string SystemRoot();

// The user's home directory: $HOME, or the password database's entry for the real user.
std::string HomeDirectory();

// Checks that a UTF-8 path fits the MAX_PATH buffers and converts it to a wide string.
Result<std::wstring> FitMaxPath(const std::string& utf8_path);

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_ENVIRONMENT_POSIX_H_
