// The host tool, built against update_lib.h alone, as separate host processes: it receives
// events, and the service URL that one process's check remembered is used by the next process's
// unattended check.

#include <sys/wait.h>

#include <cstdio>
#include <regex>

#include "library_host.h"
#include "tavorisdk/test/scripted_server.h"

namespace update_test {
namespace {

using tavorisdk::test::Respond;

// Runs update_host with |args| (each quoted for the shell) and returns its standard output
// followed by "exit <code>".
std::string RunHost(const std::vector<std::string>& args) {
  std::string command = UPDATE_HOST_PATH;
  for (const std::string& arg : args) {
    command += " '" + arg + "'";
  }
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    output.append(buffer, n);
  }
  const int status = pclose(pipe);
  return output + "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

TEST(HostToolTest, SeparateHostsShareTheRememberedServiceUrl) {
  const HostEnvironment env;  // the environment the hosts inherit
  tavorisdk::test::ScriptedServer server;
  EXPECT_EQ(RunHost({"send", Command("check_upgrade", 1,
                                     {{"app_from", "update_process"}, {"enable_patch", 0}})
                                 .dump()}),
            "result 5\nexit 0");
  server.Plan("/check", Respond(200, R"({"upgrade_policy":1})"));
  const Json client_check = Command("check_upgrade", 4,
                                    {{"app_from", "tavoriapp"},
                                     {"from_where", 1},
                                     {"cgi_url", server.Url("/check") + "?client=tool"},
                                     {"enable_patch", 0}});
  const std::string client =
      RunHost({"--init-sdk", "send", client_check.dump(), "wait", "cgi_response", "20"});
  EXPECT_TRUE(
      std::regex_match(client, std::regex(R"(result 0\nevent \{"command":"cgi_response".*\n)"
                                          R"(exit 0)")))
      << client;

  // The client process has ended (its file looper drained at exit); another process finds the URL.
  server.Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  const Json unattended =
      Command("check_upgrade", 5, {{"app_from", "update_process"}, {"enable_patch", 0}});
  EXPECT_EQ(RunHost({"send", unattended.dump(), "wait", "update_finished", "20"}),
            "result 0\nevent {\"command\":\"update_finished\",\"token\":5,\"version\":\"1.0\"}\n"
            "exit 0");
  ASSERT_EQ(server.RequestCount(), 2u);
  EXPECT_TRUE(std::regex_match(server.Requests()[1].target,
                               std::regex(R"(/check\?client=tool&time=\d+&from=1&appver=)"
                                          R"([0-9.]+&enable_patch=0)")));
}

}  // namespace
}  // namespace update_test
