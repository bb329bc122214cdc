#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "os/process.h"

namespace os {
namespace {

// The kernel's login session id of this process, or "" when none was recorded.
std::string LoginSession() {
  std::string text;
  std::ifstream("/proc/self/sessionid") >> text;
  return text == "4294967295" ? "" : text;
}

// A login session survives a new process session; without one, the answer is the process
// session, which follows setsid.
TEST(ProcessPosixTest, SessionIdIsTheLoginSessionElseTheProcessSession) {
  const std::string login = LoginSession();
  const uint32_t before = GetCurrentSessionId();
  EXPECT_EQ(before, login.empty() ? static_cast<uint32_t>(getsid(0)) : std::stoul(login));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setsid() < 0) {
      _exit(2);
    }
    const uint32_t expected = login.empty() ? static_cast<uint32_t>(getpid()) : before;
    _exit(GetCurrentSessionId() == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace os
