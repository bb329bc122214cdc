#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "os/process.h"

namespace os {
namespace {

// A login session survives a new process session; without one (the kernel's id is then
// 4294967295), the answer is the process session, which follows setsid.
TEST(ProcessPosixTest, SessionIdIsTheLoginSessionElseTheProcessSession) {
  std::string login;
  std::ifstream("/proc/self/sessionid") >> login;
  const bool has_login = !login.empty() && login != "4294967295";
  const uint32_t before = GetCurrentSessionId();
  EXPECT_EQ(before, has_login ? std::stoul(login) : static_cast<uint32_t>(getsid(0)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(setsid() >= 0 &&
                  GetCurrentSessionId() == (has_login ? before : static_cast<uint32_t>(getpid()))
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace os
