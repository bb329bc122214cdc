// Test support: runs the current test binary again as a child process that plays one role.
//
// A test file registers its roles from a global initialiser:
//   const bool kRoles = base::test::RunChildRoleIfAsked("writer", [](const std::string& arg) {
//     ...; return 0;  // the child's exit code
//   });
// In an ordinary run RunChildRoleIfAsked returns at once; in a child started by SpawnChild with
// that role it runs the body before main() and exits with its result, so the child never reaches
// GoogleTest.  The child inherits the environment and every descriptor not marked close-on-exec.

#ifndef BASE_TEST_CHILD_PROCESS_H_
#define BASE_TEST_CHILD_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace base::test {

// Starts this binary as a child playing |role| with |arg|.  Returns its pid, or -1.
pid_t SpawnChild(const std::string& role, const std::string& arg);

// Waits for |pid| to end: its exit code, 128 + the signal that ended it, or -1.
int WaitForChild(pid_t pid);

// See above.  Returns false when this process does not play |role|.
bool RunChildRoleIfAsked(const std::string& role,
                         const std::function<int(const std::string& arg)>& body);

}  // namespace base::test

#endif  // BASE_TEST_CHILD_PROCESS_H_
