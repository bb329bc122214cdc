// The process's login session through ProcessIdToSessionId.  Any thread.

#include "os/process.h"
#include "src/internal/win32.h"

namespace os {

uint32_t GetCurrentSessionId() {
  // The current process can always be asked; should the call fail all the same, session 0 (the
  // services' session, where nothing is shown to a user) is what is passed on.
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
    session = 0;
  }
  return session;
}

}  // namespace os
