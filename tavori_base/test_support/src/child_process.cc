#include "base/test/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace base::test {
namespace {

constexpr char kRoleVariable[] = "TAVORI_TEST_CHILD_ROLE";
constexpr char kArgVariable[] = "TAVORI_TEST_CHILD_ARG";

}  // namespace

pid_t SpawnChild(const std::string& role, const std::string& arg) {
  std::vector<std::string> environment = {std::string(kRoleVariable) + "=" + role,
                                          std::string(kArgVariable) + "=" + arg};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind(std::string(kRoleVariable) + "=", 0) != 0 &&
        text.rfind(std::string(kArgVariable) + "=", 0) != 0) {
      environment.push_back(text);
    }
  }
  std::vector<char*> envp;
  for (std::string& text : environment) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);
  char path[] = "/proc/self/exe";
  char* argv[] = {path, nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, path, nullptr, nullptr, argv, envp.data()) != 0) {
    return -1;
  }
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid, &status, 0);
  } while (done == -1 && errno == EINTR);
  if (done != pid) {
    return -1;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool RunChildRoleIfAsked(const std::string& role,
                         const std::function<int(const std::string& arg)>& body) {
  const char* asked = std::getenv(kRoleVariable);
  if (asked == nullptr || role != asked) {
    return false;
  }
  const char* arg = std::getenv(kArgVariable);
  std::exit(body(arg != nullptr ? arg : ""));
}

}  // namespace base::test
