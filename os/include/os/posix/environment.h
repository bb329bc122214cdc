// The machine-wide root under which the POSIX stand-ins keep what Windows keeps in the system,
// offered to the project's own programs (the privileged installer service finds its socket,
// staging directory and trust bundle there).  A POSIX facility; pure lookups, any thread.

#ifndef OS_POSIX_ENVIRONMENT_H_
#define OS_POSIX_ENVIRONMENT_H_

#include <string>
#include <string_view>

namespace os::posix {

// The value of environment variable |name| when it is set and not empty; otherwise "".
std::string GetEnv(const char* name);

// $TAVORI_SYSTEM_ROOT when set and not empty, otherwise /var/lib/tavori; no trailing separator.
std::string SystemRoot();

// <system root>/|relative|.
std::string SystemPath(std::string_view relative);

// The PEM bundle of the machine's code-signing roots, under the system root.
inline constexpr char kTrustBundleRelativePath[] = "trust/code-signing-roots.pem";

}  // namespace os::posix

#endif  // OS_POSIX_ENVIRONMENT_H_
