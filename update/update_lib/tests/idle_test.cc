// What an idle host pays: a process that loaded the library, started the SDK and finished one
// check must not be woken again while it does nothing.  The host runs in a child process (this
// binary again), so that its threads are the library's and its own blocked main thread alone;
// this process serves the check and reads the child's context switches from /proc.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/test/child_process.h"
#include "library_host.h"
#include "tavorisdk/test/scripted_server.h"

namespace update_test {
namespace {

using namespace std::chrono_literals;

// The child: checks once against the URL in |arg| ("<url> <ready fd> <hold fd>"), reports on
// the ready pipe, then blocks until the parent closes the hold pipe.
const bool kIdleHostRole = base::test::RunChildRoleIfAsked("idle_host", [](const std::string& arg) {
  std::istringstream in(arg);
  std::string url;
  int ready_fd = -1;
  int hold_fd = -1;
  in >> url >> ready_fd >> hold_fd;
  HostEnvironment env;
  LibraryHost host;
  RecordingDelegate delegate;
  host.SetInitSDK(true);
  host.SetDelegate(&delegate);
  const int result = host.Do(Command(
      "check_upgrade", 1,
      {{"app_from", "tavoriapp"}, {"from_where", 2}, {"cgi_url", url}, {"enable_patch", 0}}));
  const char verdict = result == 0 && delegate.WaitFor("cgi_response") ? 'y' : 'n';
  if (write(ready_fd, &verdict, 1) != 1) {
    return 2;
  }
  char ignored = 0;
  while (read(hold_fd, &ignored, 1) > 0) {
  }
  host.SetDelegate(nullptr);
  return 0;
});

// Context switches (voluntary and not) of every thread of |pid| so far; -1 when it is gone.
int64_t ContextSwitches(pid_t pid) {
  int64_t total = 0;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("voluntary_ctxt_switches:") ||
          line.starts_with("nonvoluntary_ctxt_switches:")) {
        total += std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  return error ? -1 : total;
}

TEST(IdleTest, AHostThatFinishedACheckIsNotWokenAgain) {
  tavorisdk::test::ScriptedServer server;
  server.Plan("/check", tavorisdk::test::Respond(200, R"({"upgrade_policy":0})"));
  int ready[2];
  int hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  // The child inherits only its own ends: it sees the hold pipe's end once this process closes
  // the writing end.
  ASSERT_EQ(fcntl(ready[0], F_SETFD, FD_CLOEXEC), 0);
  ASSERT_EQ(fcntl(hold[1], F_SETFD, FD_CLOEXEC), 0);
  const pid_t child = base::test::SpawnChild("idle_host", server.Url("/check") + "?client=idle " +
                                                              std::to_string(ready[1]) + " " +
                                                              std::to_string(hold[0]));
  ASSERT_GT(child, 0);
  close(ready[1]);
  close(hold[0]);
  // Waits up to |ms| for the child to report or end: the measured idle stretch, not a wait for
  // an event of the child's.
  const auto wait_on_child = [&](int ms) {
    pollfd child_news{ready[0], POLLIN, 0};
    return poll(&child_news, 1, ms);
  };

  char verdict = 0;
  ASSERT_EQ(wait_on_child(60'000), 1);
  ASSERT_EQ(read(ready[0], &verdict, 1), 1);
  EXPECT_EQ(verdict, 'y') << "the child's check got no answer";

  // The check's last steps (the answer stored, the threads parking) end at once: the first
  // short stretch without a switch marks the start of the idle state.
  int64_t before = ContextSwitches(child);
  for (int settle = 0; settle < 20; ++settle) {
    ASSERT_EQ(wait_on_child(100), 0) << "the child ended early";
    const int64_t now = ContextSwitches(child);
    if (now == before) {
      break;
    }
    before = now;
  }
  ASSERT_EQ(wait_on_child(2000), 0) << "the child ended early";
  const int64_t after = ContextSwitches(child);
  ASSERT_GE(before, 0);
  EXPECT_EQ(after - before, 0) << "wake-ups of the idle host in 2 s";

  close(hold[1]);
  close(ready[0]);
  EXPECT_EQ(base::test::WaitForChild(child), 0);
}

}  // namespace
}  // namespace update_test
