// The host tool, built against update_lib.h alone, as separate host processes: it receives
// events, and the service URL that one process's check remembered is used by the next process's
// unattended check.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "tavorisdk/test/scripted_server.h"
#include "update/update_lib/tests/library_host.h"

extern char** environ;

namespace update_test {
namespace {

using tavorisdk::test::Respond;
using tavorisdk::test::ScriptedServer;

struct HostRun {
  int exit_code = -1;
  std::string output;
};

// Runs update_host with |args| in a process of its own and collects its standard output.
HostRun RunHost(const std::vector<std::string>& args) {
  int out[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> all = {UPDATE_HOST_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, UPDATE_HOST_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  HostRun run;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;) {
    run.output.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

class HostToolTest : public testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<HostEnvironment>();  // the environment the hosts inherit
    server_ = std::make_unique<ScriptedServer>();
  }
  std::unique_ptr<HostEnvironment> env_;
  std::unique_ptr<ScriptedServer> server_;
};

TEST_F(HostToolTest, SeparateHostsShareTheRememberedServiceUrl) {
  const std::string cgi_url = server_->Url("/check") + "?client=tool";
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":1})"));
  const Json client_check = Command(
      "check_upgrade", 4,
      {{"app_from", "tavoriapp"}, {"from_where", 1}, {"cgi_url", cgi_url}, {"enable_patch", 0}});
  const HostRun client =
      RunHost({"--init-sdk", "send", client_check.dump(), "wait", "cgi_response", "20"});
  ASSERT_EQ(client.exit_code, 0) << client.output;
  EXPECT_TRUE(client.output.starts_with("result 0\n")) << client.output;
  EXPECT_TRUE(std::regex_search(client.output, std::regex(R"(event \{"command":"cgi_response")")))
      << client.output;

  // The client process has ended (its file looper drained at exit); another process finds the URL.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  const Json unattended =
      Command("check_upgrade", 5, {{"app_from", "update_process"}, {"enable_patch", 0}});
  const HostRun update = RunHost({"send", unattended.dump(), "wait", "update_finished", "20"});
  ASSERT_EQ(update.exit_code, 0) << update.output;
  EXPECT_NE(update.output.find(R"(event {"command":"update_finished","token":5,"version":"1.0"})"),
            std::string::npos)
      << update.output;
  ASSERT_EQ(server_->RequestCount(), 2u);
  EXPECT_TRUE(std::regex_match(server_->Requests()[1].target,
                               std::regex(R"(/check\?client=tool&time=\d+&from=1&appver=)"
                                          R"([0-9.]+&enable_patch=0)")));
}

TEST_F(HostToolTest, WithoutARememberedUrlTheUnattendedCheckIs5) {
  const HostRun run = RunHost(
      {"send",
       Command("check_upgrade", 1, {{"app_from", "update_process"}, {"enable_patch", 0}}).dump()});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "result 5\n");
}

}  // namespace
}  // namespace update_test
