#include "base/test/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace base::test {
namespace {

constexpr char kRoleVariable[] = "TAVORI_TEST_CHILD_ROLE";
constexpr char kArgVariable[] = "TAVORI_TEST_CHILD_ARG";

}  // namespace

pid_t SpawnChild(const std::string& role, const std::string& arg) {
  std::vector<std::string> environment = {std::string(kRoleVariable) + "=" + role,
                                          std::string(kArgVariable) + "=" + arg};
  // Every inherited variable but the two (each prefix is the name and its "=").
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (!text.starts_with(environment[0].substr(0, sizeof(kRoleVariable))) &&
        !text.starts_with(environment[1].substr(0, sizeof(kArgVariable)))) {
      environment.emplace_back(text);
    }
  }
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& text : environment) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);
  char path[] = "/proc/self/exe";
  char* argv[] = {path, nullptr};
  pid_t pid = -1;
  return posix_spawn(&pid, path, nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  pid_t done;
  while ((done = waitpid(pid, &status, 0)) == -1 && errno == EINTR) {
  }
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
