// The current process's place on the machine.  Any thread; no state.

#ifndef OS_PROCESS_H_
#define OS_PROCESS_H_

#include <cstdint>

namespace os {

// ProcessIdToSessionId(GetCurrentProcessId()): the login session the process belongs to, which
// a privileged service uses to start programs for this session's user.
//
// The POSIX backend answers with the kernel's login session id (/proc/self/sessionid, set at
// login by the audit subsystem) when it holds a valid value, and otherwise with the process's
// session id (getsid(0): the process id of the session leader, such as the login shell or the
// terminal's shell).  Never fails.
uint32_t GetCurrentSessionId();

}  // namespace os

#endif  // OS_PROCESS_H_
