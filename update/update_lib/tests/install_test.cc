// "install" and the unattended run's installation through the real library: the publisher check
// and the shell start, and the privileged installer service (the real daemon, started by the
// tests).  Installers are signed PE images made by the tests; `wine` is a stand-in that records
// each start.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "base/test/file_contents.h"
#include "installer_service/test/installers.h"
#include "library_host.h"
#include "os/com.h"
#include "tavorisdk/test/scripted_server.h"
#include "update_configuration.h"
#include "update_operation.h"
#include "util/crypto/crypto.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using installer_test::FileMd5;

// The privileged installer service, run as the real daemon for one test: a shell prints its own
// process id and becomes the service, which writes "READY" once it listens.
class ServiceProcess {
 public:
  ServiceProcess() : out_(popen("echo $$; exec " INSTALLER_SERVICE_PATH " --notify-fd 1", "r")) {
    char line[32] = {};
    EXPECT_NE(fgets(line, sizeof(line), out_), nullptr);
    pid_ = std::atoi(line);
    EXPECT_NE(fgets(line, sizeof(line), out_), nullptr);
    EXPECT_STREQ(line, "READY\n");
  }
  ~ServiceProcess() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(pclose(out_), 0);
  }

 private:
  FILE* out_;
  pid_t pid_ = -1;
};

constexpr int Elevated(os::com::HResult hresult) {
  return static_cast<int>(static_cast<uint32_t>(hresult) | 0x30000u);
}

class InstallTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // Before any thread starts: the library and the service start Windows images with the first
    // `wine` on PATH.
    wine_ = std::make_unique<installer_test::WineStandIn>(env_->root() + "/wine");
    if (wine_on_path_) {
      setenv("PATH", (wine_->bin_dir() + ":" + getenv("PATH")).c_str(), 1);
    }
    factory_ = std::make_unique<installer_test::InstallerFactory>(env_->root() + "/installers");
    factory_->InstallTrustBundle(env_->system_root());
    good_ = factory_->SignedBy("good.exe", installer_test::kPublisher);
    host_->SetDelegate(&delegate_);
  }

  static Json Install(const std::string& path, const std::string& md5, Json elevate) {
    return Command("install", 0,
                   {{"install_param", "/S /D=C:\\Tavori"},
                    {"package_path", path},
                    {"package_md5", md5},
                    {"elevate_privilege", elevate}});
  }

  bool wine_on_path_ = true;
  std::unique_ptr<installer_test::WineStandIn> wine_;
  std::unique_ptr<installer_test::InstallerFactory> factory_;
  std::string good_;
};

TEST_F(InstallTest, CallersRightsNeedAnAcceptedPublisherAndGoodParameters) {
  Json no_md5 = Install(good_, "x", 0);
  no_md5["parameters"].erase("package_md5");
  struct Case {
    Json command;
    int result;
  } cases[] = {
      {Install(good_, "ignored", 0), 0},
      {Install(factory_->SignedBy("blank.exe", installer_test::kPublisherWithBlank), "", 0), 0},
      {Install(good_, "ignored", 2), 0},  // only 1 asks for elevation
      {Install(factory_->SignedBy("case.exe", "Halvern Technology(Ostervik) Company limited"), "",
               0),
       4},
      {Install(factory_->Unsigned("unsigned.exe"), "", 0), 4},
      {Install(env_->root() + "/missing.exe", "", 0), 4},
      {no_md5, 1},
      {Install(good_, "x", "1"), 1},
  };
  std::multiset<std::string> started;  // the MD5s of the installers that must have started
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.dump());
    EXPECT_EQ(host_->Do(c.command), c.result);
    if (c.result == 0) {
      started.insert(FileMd5(c.command["parameters"]["package_path"]));
    }
  }
  EXPECT_TRUE(env_->Logged("bad  package_md5:"));
  EXPECT_TRUE(env_->Logged("bad  elevate_privilege:"));
  const auto starts = wine_->WaitForStarts(started.size(), 20s);
  std::multiset<std::string> started_md5;
  for (const auto& start : starts) {
    started_md5.insert(start.program_md5);
  }
  EXPECT_EQ(started_md5, started);
  // wine gets the installer through the library's open file, then the parameters split by the
  // Windows rules.
  ASSERT_FALSE(starts.empty());
  EXPECT_TRUE(starts[0].arguments[0].starts_with("/proc/self/fd/")) << starts[0].arguments[0];
  EXPECT_EQ(std::vector(starts[0].arguments.begin() + 1, starts[0].arguments.end()),
            (std::vector<std::string>{"/S", "/D=C:\\Tavori"}));
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
  fs::permissions(script, static_cast<fs::perms>(0755));
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
  const auto budget = std::chrono::steady_clock::now() + 5s;
  size_t started = 0;
  size_t refused = 0;
  for (int i = 0; i < 300 && std::chrono::steady_clock::now() < budget; ++i) {
    const int result = host_->Do(Install(target, "ignored", 0));
    EXPECT_TRUE(result == 0 || result == 4) << result;
    ++(result == 0 ? started : refused);
  }
  stop = true;
  swapper.join();
  // Both files were met, so the swap really raced the installs.
  EXPECT_GT(started, 0u);
  EXPECT_GT(refused, 0u);
  const auto starts = wine_->WaitForStarts(started, 20s);
  EXPECT_EQ(starts.size(), started);
  for (const auto& start : starts) {
    EXPECT_EQ(start.program_md5, FileMd5(good_));
  }
  EXPECT_FALSE(fs::exists(marker)) << "the unsigned script was started";
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
  EXPECT_TRUE(env_->Logged("shell execute failed, path:" + good_ + "ret:0x000000000000001F\n"));
}

TEST_F(InstallTest, ElevationThroughTheService) {
  ServiceProcess service;
  // The service's refusals come back or'ed with 0x30000.
  EXPECT_EQ(host_->Do(Install(good_, "0123456789abcdef0123456789abcdef", 1)),
            Elevated(os::com::kCryptEHashValue));
  EXPECT_EQ(host_->Do(Install(good_, FileMd5(good_), 1)), 0);
  const auto starts = wine_->WaitForStarts(1, 20s);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, FileMd5(good_));
}

TEST_F(InstallTest, UnattendedRunInstallsThroughTheService) {
  ServiceProcess service;
  // The unattended run: check, download of |good_|, installation, "update_finished".
  tavorisdk::test::ScriptedServer server;
  const std::string package = base::test::ReadFileToString(good_);
  server.Serve("/pkg/setup.exe", package);
  UpdateLib::UpdateDatabaseStorage().SetUpdateConfig(UpdateLib::kCgiUrlKey,
                                                     server.Url("/check") + "?client=host");
  const Json offer = {{"upgrade_policy", 3},
                      {"version", "9.0.0.0"},
                      {"package_url", server.Url("/pkg/setup.exe")},
                      {"size", package.size()},
                      {"md5", util::crypto::Md5(package)}};
  server.Plan("/check", tavorisdk::test::Respond(200, offer.dump()));
  EXPECT_EQ(
      host_->Do(Command("check_upgrade", 2, {{"app_from", "update_process"}, {"enable_patch", 1}})),
      0);
  const auto finished = delegate_.WaitFor("update_finished");
  EXPECT_EQ(finished.value_or(Json()),
            (Json{{"version", "1.0"}, {"command", "update_finished"}, {"token", 2}}));
  EXPECT_EQ(delegate_.Commands(), std::vector<std::string>{"update_finished"});
  const std::string package_path =
      env_->download_dir() + util::crypto::Md5(server.Url("/pkg/setup.exe")) + ".exe";
  const auto starts = wine_->WaitForStarts(1, 20s);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, FileMd5(good_));
  const std::string app_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(starts[0].arguments,
            (std::vector<std::string>{starts[0].arguments[0], "/BaseRootPath=" + app_dir,
                                      "/BaseSubPath=update_lib", "/StartBy=update_process",
                                      "/FileDelete=" + package_path, "/S", "/Language="}));
}

}  // namespace
}  // namespace update_test
