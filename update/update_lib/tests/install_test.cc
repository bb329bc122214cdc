// "install" and the unattended run's installation through the real library: the publisher check
// and the shell start, and the privileged installer service (the real daemon, started by the
// tests).  Installers are signed PE images made by the tests; `wine` is a stand-in that records
// each start.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "installer_service/test/installers.h"
#include "tavorisdk/test/scripted_server.h"
#include "update/update_lib/tests/library_host.h"
#include "util/crypto/crypto.h"

extern char** environ;

namespace update_test {
namespace {

namespace fs = std::filesystem;
using installer_test::InstallerFactory;
using installer_test::WineStandIn;

constexpr int kCreateInstanceFailed = static_cast<int>(0x80040154u | 0x30000u);

// The privileged installer service, run as the real daemon for one test.
class ServiceProcess {
 public:
  ServiceProcess() {
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    const std::vector<std::string> args = {INSTALLER_SERVICE_PATH, "--notify-fd", "3"};
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, INSTALLER_SERVICE_PATH, &actions, nullptr, argv.data(), environ),
              0);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    // Ready once it listens: it writes a line to the pipe.
    pollfd p{ready[0], POLLIN, 0};
    char line[8] = {};
    EXPECT_EQ(poll(&p, 1, 20000), 1);
    EXPECT_GT(read(ready[0], line, sizeof(line)), 0);
    EXPECT_STREQ(line, "READY\n");
    close(ready[0]);
  }
  ~ServiceProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

 private:
  pid_t pid_ = -1;
};

class InstallTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // Before any thread starts: the library and the service start Windows images with the first
    // `wine` on PATH.
    wine_ = std::make_unique<WineStandIn>(env_->root() + "/wine");
    if (wine_on_path_) {
      setenv("PATH", (wine_->bin_dir() + ":" + getenv("PATH")).c_str(), 1);
    }
    factory_ = std::make_unique<InstallerFactory>(env_->root() + "/installers");
    factory_->InstallTrustBundle(env_->system_root());
    good_ = factory_->SignedBy("good.exe", installer_test::kPublisher);
    host_->SetDelegate(&delegate_);
  }

  static Json Install(const std::string& path, const std::string& md5, Json elevate,
                      const std::string& parameters = "/S /D=C:\\Tavori") {
    return Command("install", 0,
                   {{"install_param", parameters},
                    {"package_path", path},
                    {"package_md5", md5},
                    {"elevate_privilege", elevate}});
  }

  bool wine_on_path_ = true;
  std::unique_ptr<WineStandIn> wine_;
  std::unique_ptr<InstallerFactory> factory_;
  std::string good_;
};

TEST_F(InstallTest, CallersRightsNeedAnAcceptedPublisher) {
  struct Case {
    std::string name;
    std::string path;
    int elevate;
    int result;
  } cases[] = {
      {"accepted", good_, 0, 0},
      {"accepted with blank", factory_->SignedBy("blank.exe", installer_test::kPublisherWithBlank),
       0, 0},
      {"elevate 2 is not elevation", good_, 2, 0},
      {"case differs",
       factory_->SignedBy("case.exe", "Halvern Technology(Ostervik) Company limited"), 0, 4},
      {"blanks differ",
       factory_->SignedBy("blanks.exe", "Halvern Technology  (Ostervik) Company Limited"), 0, 4},
      {"organisation matches, common name does not",
       factory_->Signed("org.exe", {{"O", installer_test::kPublisher}, {"CN", "Build Host"}}), 0,
       4},
      {"unsigned", factory_->Unsigned("unsigned.exe"), 0, 4},
      {"one changed byte", factory_->Tampered("tampered.exe"), 0, 4},
      {"untrusted root", factory_->SignedByUntrustedRoot("untrusted.exe"), 0, 4},
      {"missing", env_->root() + "/installers/missing.exe", 0, 4},
  };
  std::vector<std::string> started;  // the MD5s of the installers that must have started
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t refused = env_->Find("verify failed.").size();
    EXPECT_EQ(host_->Do(Install(c.path, "ignored", c.elevate)), c.result);
    EXPECT_EQ(env_->Find("verify failed.").size(), refused + (c.result == 4 ? 1 : 0));
    if (c.result == 0) {
      started.push_back(installer_test::FileMd5(c.path));
    }
  }
  const auto starts = wine_->WaitForStarts(started.size(), 20s);
  ASSERT_EQ(starts.size(), started.size());
  std::vector<std::string> started_md5;
  for (const auto& start : starts) {
    // wine gets the installer through the library's open file, then the parameters split by the
    // Windows rules.
    ASSERT_EQ(start.arguments.size(), 3u);
    EXPECT_TRUE(start.arguments[0].starts_with("/proc/self/fd/")) << start.arguments[0];
    EXPECT_EQ(start.arguments[1], "/S");
    EXPECT_EQ(start.arguments[2], "/D=C:\\Tavori");
    started_md5.push_back(start.program_md5);
  }
  std::sort(started.begin(), started.end());
  std::sort(started_md5.begin(), started_md5.end());
  EXPECT_EQ(started_md5, started);
  EXPECT_EQ(env_->Find("shell execute success").size(), started.size());
  // The installer starts without anybody asking for elevation: no events.
  EXPECT_TRUE(delegate_.Events().empty());
}

// Check one file, start another: while another thread gives the installer's name, as fast as it
// can, alternately to an accepted installer and to an unsigned script, every "install" either
// starts the accepted installer or is refused; the script never runs.
TEST_F(InstallTest, NameSwappedDuringInstallNeverStartsTheUncheckedFile) {
  const std::string dir = env_->root() + "/swap";
  fs::create_directories(dir);
  const std::string marker = dir + "/script-ran";
  const std::string script = dir + "/script";
  std::ofstream(script) << "#!/bin/sh\ntouch '" << marker << "'\n";
  fs::permissions(script, fs::perms(0755));
  const std::string target = dir + "/setup.exe";
  fs::copy_file(good_, target);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const std::string spare = dir + "/spare";
    for (bool good = false; !stop.load(std::memory_order_relaxed); good = !good) {
      // A new name for one of the prepared files, renamed over the installer's name.
      unlink(spare.c_str());
      if (link((good ? good_ : script).c_str(), spare.c_str()) == 0) {
        rename(spare.c_str(), target.c_str());
      }
    }
  });
  constexpr int kTries = 300;
  const auto budget = std::chrono::steady_clock::now() + 5s;
  size_t started = 0;
  size_t refused = 0;
  for (int i = 0; i < kTries && std::chrono::steady_clock::now() < budget; ++i) {
    const int result = host_->Do(Install(target, "ignored", 0));
    EXPECT_TRUE(result == 0 || result == 4) << result;
    ++(result == 0 ? started : refused);
  }
  stop = true;
  swapper.join();
  // Both files were met, so the swap really raced the installs.
  EXPECT_GT(started, 0u);
  EXPECT_GT(refused, 0u);
  // Every start that was reported is a start of the accepted installer through wine.
  const auto starts = wine_->WaitForStarts(started, 20s);
  EXPECT_EQ(starts.size(), started);
  for (const auto& start : starts) {
    EXPECT_EQ(start.program_md5, installer_test::FileMd5(good_));
  }
  EXPECT_FALSE(fs::exists(marker)) << "the unsigned script was started";
}

TEST_F(InstallTest, ParametersAreReadInOrder) {
  Json no_md5 = Install(good_, "x", 0);
  no_md5["parameters"].erase("package_md5");
  EXPECT_EQ(host_->Do(no_md5), 1);
  EXPECT_TRUE(env_->Logged("bad  package_md5:"));
  EXPECT_EQ(host_->Do(Install(good_, "x", "1")), 1);
  EXPECT_TRUE(env_->Logged("bad  elevate_privilege:"));
  Json no_parameters = Install(good_, "x", 0);
  no_parameters["parameters"]["install_param"] = 5;
  EXPECT_EQ(host_->Do(no_parameters), 1);
  EXPECT_TRUE(wine_->Starts().empty());
}

class NoWineInstallTest : public InstallTest {
 protected:
  NoWineInstallTest() { wine_on_path_ = false; }
};

TEST_F(NoWineInstallTest, ShellFailureIsResult4) {
  if (fs::exists("/usr/bin/wine") || fs::exists("/usr/local/bin/wine")) {
    GTEST_SKIP() << "a real wine is installed";
  }
  EXPECT_EQ(host_->Do(Install(good_, "x", 0)), 4);
  const std::vector<LogLine> failed = env_->Find("shell execute failed, path:");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text, "shell execute failed, path:" + good_ + "ret:0x000000000000001F");
}

TEST_F(InstallTest, ElevationWithoutTheService) {
  EXPECT_EQ(host_->Do(Install(good_, installer_test::FileMd5(good_), 1)), kCreateInstanceFailed);
  EXPECT_TRUE(env_->Logged("create instance failed:-2147221164"));
  EXPECT_TRUE(wine_->Starts().empty());
}

TEST_F(InstallTest, ElevationThroughTheService) {
  ServiceProcess service;
  const std::string other = factory_->SignedBy("other.exe", "Someone Else Limited");
  struct Case {
    std::string path;
    std::string md5;
    int result;
  } cases[] = {
      {good_, installer_test::FileMd5(good_), 0},
      // The service's refusals come back or'ed with 0x30000.
      {good_, installer_test::FileMd5(other), static_cast<int>(0x80091007u | 0x30000u)},
      {other, installer_test::FileMd5(other), static_cast<int>(0x800B0004u | 0x30000u)},
      {factory_->Unsigned("unsigned.exe"),
       installer_test::FileMd5(env_->root() + "/installers/unsigned.exe"),
       static_cast<int>(0x800B0100u | 0x30000u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(host_->Do(Install(c.path, c.md5, 1)), c.result);
  }
  EXPECT_EQ(env_->Find("install package success").size(), 1u);
  EXPECT_EQ(env_->Find("install package failed").size(), 3u);
  EXPECT_TRUE(env_->Logged("install path: " + good_ + " exec code:0"));
  const auto starts = wine_->WaitForStarts(1, 20s);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, installer_test::FileMd5(good_));
}

// The whole unattended run: check, download, elevated installation with the composed command
// line, "update_finished".
class UnattendedInstallTest : public InstallTest {
 protected:
  void RunUpdate(std::optional<Json>* finished, std::string* package_path) {
    tavorisdk::test::ScriptedServer server;
    std::ifstream in(good_, std::ios::binary);
    const std::string package((std::istreambuf_iterator<char>(in)), {});
    server.Serve("/pkg/setup.exe", package);
    const std::string cgi_url = server.Url("/check") + "?client=host";
    server.Plan("/check", tavorisdk::test::Respond(200, R"({"upgrade_policy":0})"));
    ASSERT_EQ(host_->Do(Command("check_upgrade", 1,
                                {{"app_from", "tavoriapp"},
                                 {"from_where", 2},
                                 {"cgi_url", cgi_url},
                                 {"enable_patch", 0}})),
              0);
    ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
    // The URL is stored on the library's file looper; the next check reads it.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int result = 5;
    const Json offer = {{"upgrade_policy", 3},
                        {"version", "9.0.0.0"},
                        {"package_url", server.Url("/pkg/setup.exe")},
                        {"size", package.size()},
                        {"md5", util::crypto::Md5(package)}};
    server.Plan("/check", tavorisdk::test::Respond(200, offer.dump()));
    while (result == 5 && std::chrono::steady_clock::now() < deadline) {
      result = host_->Do(
          Command("check_upgrade", 2, {{"app_from", "update_process"}, {"enable_patch", 1}}));
      if (result == 5) {
        std::this_thread::sleep_for(5ms);
      }
    }
    ASSERT_EQ(result, 0);
    *finished = delegate_.WaitFor("update_finished");
    *package_path = env_->download_dir() + util::crypto::Md5(server.Url("/pkg/setup.exe")) + ".exe";
  }
};

TEST_F(UnattendedInstallTest, DownloadedPackageIsInstalledThroughTheService) {
  ServiceProcess service;
  std::optional<Json> finished;
  std::string package_path;
  RunUpdate(&finished, &package_path);
  ASSERT_TRUE(finished);
  EXPECT_EQ(*finished, (Json{{"version", "1.0"}, {"command", "update_finished"}, {"token", 2}}));
  const auto starts = wine_->WaitForStarts(1, 20s);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, installer_test::FileMd5(good_));
  const std::string app_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(starts[0].arguments,
            (std::vector<std::string>{starts[0].arguments[0], "/BaseRootPath=" + app_dir,
                                      "/BaseSubPath=update_lib", "/StartBy=update_process",
                                      "/FileDelete=" + package_path, "/S", "/Language="}));
  EXPECT_TRUE(env_->Logged("install package success"));
  // Only "update_finished" reached the update process's delegate after the first check.
  EXPECT_EQ(delegate_.Commands(), (std::vector<std::string>{"cgi_response", "update_finished"}));
}

TEST_F(UnattendedInstallTest, FailedInstallationStillEndsTheRun) {
  std::optional<Json> finished;
  std::string package_path;
  RunUpdate(&finished, &package_path);
  ASSERT_TRUE(finished);
  EXPECT_TRUE(env_->Logged("create instance failed:-2147221164"));
  EXPECT_TRUE(fs::exists(package_path));
  EXPECT_TRUE(wine_->Starts().empty());
}

}  // namespace
}  // namespace update_test
