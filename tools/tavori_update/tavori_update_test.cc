// tavori-update and tavori-update-service as a person or a script uses them: separate processes
// talking HTTP on loopback, with a throwaway machine root, signed installers and a recording
// `wine`.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "installer_service/test/installers.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"

namespace {

using std::chrono::seconds;

// A program started with a pipe on its standard input and one for its output and errors.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      std::vector<char*> argv;
      argv.reserve(args.size() + 1);
      for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
      }
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Program() {
    CloseInput();
    if (pid_ > 0 && exit_ < 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    close(out_);
  }

  void Write(const std::string& text) const {
    ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    if (in_ >= 0) {
      close(in_);
      in_ = -1;
    }
  }
  // Reads output until it holds |needle| (true) or the bound passes or the output ends (false).
  bool ReadUntil(const std::string& needle, seconds bound = seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (output_.find(needle, consumed_) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd{out_, POLLIN, 0};
      char chunk[4096];
      ssize_t got = 0;
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
          (got = read(out_, chunk, sizeof chunk)) <= 0) {
        return false;
      }
      output_.append(chunk, static_cast<size_t>(got));
    }
    consumed_ = output_.find(needle, consumed_) + needle.size();
    return true;
  }
  // Closes the input, reads everything and returns the exit code (128 + signal when killed).
  int Wait() {
    CloseInput();
    while (ReadUntil("\x01never\x01")) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_;
  }
  void Signal(int number) const { kill(pid_, number); }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int exit_ = -1;
  std::string output_;
  size_t consumed_ = 0;
};

class TavoriUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"system", "config", "state", "cache", "tmp", "www"}) {
      ASSERT_EQ(mkdir(dir_.Child(name).c_str(), 0700), 0);
    }
    setenv("TAVORI_SYSTEM_ROOT", dir_.Child("system").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.Child("config").c_str(), 1);
    setenv("XDG_STATE_HOME", dir_.Child("state").c_str(), 1);
    setenv("XDG_CACHE_HOME", dir_.Child("cache").c_str(), 1);
    setenv("TMPDIR", dir_.Child("tmp").c_str(), 1);
    setenv("PATH", (wine_.bin_dir() + ":" + getenv("PATH")).c_str(), 1);
    factory_.InstallTrustBundle(dir_.Child("system"));
    installer_ = base::test::ReadFileToString(
        factory_.SignedBy("TavoriSetup.exe", installer_test::kPublisher));
    std::ofstream(dir_.Child("www/TavoriSetup.exe")) << installer_;
    std::ofstream(dir_.Child("www/manifest.json")) << R"({"version":"3.3.0.0",
        "package":"TavoriSetup.exe","policy":1,"rules":[{"when":{"from":1},"policy":0}]})";
    service_ = std::make_unique<Program>(std::vector<std::string>{UPDATE_SERVICE_PATH, "--manifest",
                                                                  dir_.Child("www/manifest.json")});
    ASSERT_TRUE(service_->ReadUntil("\n"));
    cgi_url_ = service_->output().substr(13, service_->output().size() - 14) + "?client=test";
  }

  static int Run(const std::vector<std::string>& args, std::string* output,
                 const std::string& input = "") {
    std::vector<std::string> argv = {TAVORI_UPDATE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Program program(argv);
    program.Write(input);
    const int code = program.Wait();
    *output = program.output();
    return code;
  }

  base::test::ScopedTempDir dir_;
  installer_test::WineStandIn wine_{dir_.Child("wine")};
  installer_test::InstallerFactory factory_{dir_.Child("installers")};
  std::string installer_;
  std::unique_ptr<Program> service_;
  std::string cgi_url_;
};

TEST_F(TavoriUpdateTest, ChecksUpdatesAndRunsAgainstTheReferenceService) {
  std::string out;
  ASSERT_EQ(Run({"check", "--cgi-url", cgi_url_}, &out), 0) << out;
  EXPECT_NE(out.find("Version:  3.3.0.0"), std::string::npos) << out;
  EXPECT_NE(out.find(util::crypto::Md5(installer_)), std::string::npos) << out;

  EXPECT_EQ(Run({"update", "--cgi-url", cgi_url_}, &out, "n\n"), 0) << out;
  EXPECT_NE(out.find("not updated"), std::string::npos) << out;
  EXPECT_TRUE(wine_.Starts().empty());

  const std::string target = dir_.Child("TavoriSetup.exe");
  ASSERT_EQ(Run({"update", "--cgi-url", cgi_url_, "--download-path", target, "--param", "/S"}, &out,
                "y\n"),
            0)
      << out;
  EXPECT_NE(out.find("downloaded "), std::string::npos) << out;  // plain progress lines
  EXPECT_TRUE(base::test::ReadFileToString(target) == installer_);
  const auto starts = wine_.WaitForStarts(1, seconds(10));
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, util::crypto::Md5(installer_));
  EXPECT_EQ(starts[0].arguments.back(), "/S");

  // The unattended run uses the URL the client's check remembered ("from" 1: policy 0 here).
  EXPECT_EQ(Run({"run", "--timeout", "30"}, &out), 0) << out;
  EXPECT_NE(out.find("Update run finished."), std::string::npos) << out;
  EXPECT_EQ(Run({"install", "--package", dir_.Child("www/manifest.json"), "--md5", "0"}, &out), 5)
      << out;
}

TEST_F(TavoriUpdateTest, SaysWhyItStops) {
  std::string out;
  EXPECT_EQ(Run({"run"}, &out), 1) << out;  // no check has remembered a URL yet
  EXPECT_NE(out.find("no update service URL"), std::string::npos) << out;
  // The library stays silent about an unusable answer: the check and the run end at their
  // timeouts.
  std::ofstream(dir_.Child("www/manifest.json")) << "{";
  EXPECT_EQ(Run({"check", "--cgi-url", cgi_url_, "--timeout", "1"}, &out), 3) << out;
  EXPECT_NE(out.find("no usable answer"), std::string::npos) << out;
  EXPECT_EQ(Run({"run", "--timeout", "1"}, &out), 3) << out;
  EXPECT_EQ(Run({"check"}, &out), 2) << out;
  EXPECT_EQ(Run({"--version"}, &out), 0) << out;
}

TEST_F(TavoriUpdateTest, CtrlCDuringTheDownloadCancelsItAndLeavesNoFile) {
  tavorisdk::test::ScriptedServer server;
  tavorisdk::test::PlannedAnswer stalled = tavorisdk::test::Respond(200, installer_);
  stalled.stall_after = installer_.size() / 2;
  server.Plan("/pkg.exe", stalled);
  server.Plan("/check",
              tavorisdk::test::Respond(200, nlohmann::json{{"upgrade_policy", 1},
                                                           {"version", "3.3.0.0"},
                                                           {"package_url", server.Url("/pkg.exe")},
                                                           {"size", installer_.size()},
                                                           {"md5", util::crypto::Md5(installer_)}}
                                                .dump()));
  const std::string target = dir_.Child("TavoriSetup.exe");
  Program update({TAVORI_UPDATE_PATH, "update", "--yes", "--cgi-url", server.Url("/check?x=1"),
                  "--download-path", target});
  ASSERT_TRUE(update.ReadUntil("downloaded ")) << update.output();
  update.Signal(SIGINT);
  EXPECT_EQ(update.Wait(), 130) << update.output();
  EXPECT_NE(update.output().find("download cancelled"), std::string::npos) << update.output();
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  EXPECT_TRUE(wine_.Starts().empty());
}

TEST_F(TavoriUpdateTest, TheJsonBridgeAnswersEachLineInOrder) {
  Program bridge({TAVORI_UPDATE_PATH, "json"});
  auto command = [](const char* name, const nlohmann::json& parameters) {
    return nlohmann::json{
               {"version", "1.0"}, {"command", name}, {"token", 4}, {"parameters", parameters}}
               .dump() +
           "\n";
  };
  bridge.Write("not json\n" + command("check_upgrade", {{"app_from", "tavoriapp"},
                                                        {"from_where", 0},
                                                        {"cgi_url", cgi_url_},
                                                        {"enable_patch", 0}}));
  ASSERT_TRUE(bridge.ReadUntil("{\"result\":1}\n{\"result\":0}\n")) << bridge.output();
  ASSERT_TRUE(bridge.ReadUntil("\"command\":\"cgi_response\"")) << bridge.output();
  bridge.Write(command("download", {{"download_path", dir_.Child("pkg.exe")}}));
  ASSERT_TRUE(bridge.ReadUntil("\"command\":\"download_finish\"")) << bridge.output();
  EXPECT_EQ(bridge.Wait(), 0);
  // Every output line is one JSON object.
  std::istringstream lines(bridge.output());
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
  }
  EXPECT_TRUE(base::test::ReadFileToString(dir_.Child("pkg.exe")) == installer_);
}

}  // namespace
