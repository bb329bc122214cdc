#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "os/posix/scoped_fd.h"
#include "os/process.h"

namespace os {
namespace {

// What /proc/self/sessionid holds when no login session was recorded: (uint32_t)-1.
constexpr uint32_t kUnsetLoginSession = 0xFFFFFFFF;

// The audit login session id, or kUnsetLoginSession when there is none or it cannot be read.
uint32_t LoginSessionId() {
  posix::ScopedFd fd(open("/proc/self/sessionid", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return kUnsetLoginSession;
  }
  char text[16];
  ssize_t got;
  do {
    got = read(fd.get(), text, sizeof(text));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    return kUnsetLoginSession;
  }
  uint32_t id = kUnsetLoginSession;
  const char* end = text + got;
  const auto [rest, error] = std::from_chars(text, end, id);
  if (error != std::errc() || rest == text || (rest != end && *rest != '\n')) {
    return kUnsetLoginSession;
  }
  return id;
}

}  // namespace

uint32_t GetCurrentSessionId() {
  const uint32_t login_session = LoginSessionId();
  if (login_session != kUnsetLoginSession) {
    return login_session;
  }
  return static_cast<uint32_t>(getsid(0));
}

}  // namespace os
