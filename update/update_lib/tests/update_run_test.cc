// The update run through the real library: the check request, the service's answer and upgrade
// policy, and the download, against a scripted update service on loopback.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "base/test/file_contents.h"
#include "library_host.h"
#include "tavorisdk/test/scripted_server.h"
#include "update_configuration.h"
#include "update_operation.h"
#include "util/crypto/crypto.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using base::test::ReadFileToString;
using tavorisdk::test::PlannedAnswer;
using tavorisdk::test::Respond;
using tavorisdk::test::ScriptedServer;

class UpdateRunTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // Before the library starts any thread that may read the environment.
    for (const auto& [name, value] : overrides_) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    server_ = std::make_unique<ScriptedServer>();
    host_->SetInitSDK(true);
    host_->SetDelegate(&delegate_);
  }

  // The service's check URL; it carries its own "?" as the service expects.
  std::string CgiUrl() const { return server_->Url("/check") + "?client=host"; }
  static Json UnattendedCheck(int64_t token, int enable_patch) {
    return Command("check_upgrade", token,
                   {{"app_from", "update_process"}, {"enable_patch", enable_patch}});
  }
  // The service URL as a client's earlier check left it in the store.
  void RememberUrl() const {
    UpdateLib::UpdateDatabaseStorage().SetUpdateConfig(UpdateLib::kCgiUrlKey, CgiUrl());
  }
  // A check answer offering |package| at |path| of the server.
  std::string Offer(int policy, const std::string& package, const std::string& path,
                    const std::string& version = "9.9.9.9") const {
    return Json{{"upgrade_policy", policy},
                {"version", version},
                {"package_url", server_->Url(path)},
                {"size", package.size()},
                {"md5", util::crypto::Md5(package)}}
        .dump();
  }
  // A client check answered with |answer|, waited for.
  void CheckAnswered(int64_t token, const std::string& answer, size_t nth = 1) {
    server_->Plan("/check", Respond(200, answer));
    ASSERT_EQ(host_->Do(Command("check_upgrade", token,
                                {{"app_from", "tavoriapp"},
                                 {"from_where", 2},
                                 {"cgi_url", CgiUrl()},
                                 {"enable_patch", 0}})),
              0);
    ASSERT_TRUE(delegate_.WaitFor("cgi_response", nth));
  }
  // Where a download of |url| goes by default.
  std::string DefaultTarget(const std::string& url) const {
    return env_->download_dir() + util::crypto::Md5(url) + ".exe";
  }
  size_t RequestsTo(const std::string& path) const {
    size_t n = 0;
    for (const auto& request : server_->Requests()) {
      n += request.path == path ? 1 : 0;
    }
    return n;
  }

  std::vector<std::pair<std::string, std::string>> overrides_;  // environment, set in SetUp
  std::unique_ptr<ScriptedServer> server_;
};

TEST_F(UpdateRunTest, UnattendedRunUsesTheRememberedUrlAndEndsOrDownloadsByPolicy) {
  EXPECT_EQ(host_->Do(UnattendedCheck(1, 0)), 5);
  RememberUrl();
  // The package is missing on the server: a download that starts fails and ends the run.
  const std::string package = base::test::RandomBytes(1000);
  size_t finished = 0;
  for (const auto& [policy, downloads] : {std::pair{0, false}, {2, true}, {9, false}}) {
    SCOPED_TRACE(policy);
    const size_t package_requests = RequestsTo("/missing.exe");
    server_->Plan("/check", Respond(200, Offer(policy, package, "/missing.exe")));
    ASSERT_EQ(host_->Do(UnattendedCheck(10 + policy, 1)), 0);
    const auto event = delegate_.WaitFor("update_finished", ++finished);
    ASSERT_TRUE(event);
    EXPECT_EQ(*event,
              (Json{{"version", "1.0"}, {"command", "update_finished"}, {"token", 10 + policy}}));
    EXPECT_EQ(RequestsTo("/missing.exe") > package_requests, downloads);
  }
  EXPECT_EQ(delegate_.Commands(), std::vector<std::string>(finished, "update_finished"));
  EXPECT_TRUE(std::regex_match(server_->Requests()[0].target,
                               std::regex(R"(/check\?client=host&time=\d+&from=1&appver=[0-9.]+)"
                                          R"(&enable_patch=1)")));
}

// Each download is asked for from inside the check's cgi_response event, as a host may.
TEST_F(UpdateRunTest, DownloadsEndWithTheFileOrAnErrorAfterTheirEvents) {
  const std::string package = base::test::RandomBytes(3 << 20);
  server_->Serve("/p.exe", package);
  const std::string custom = env_->root() + "/place.bin";
  const struct {
    int policy;
    const char* path;
    Json parameters;  // of the "download" command
    int err_code;     // of download_finish
    std::string target;
  } cases[] = {
      {2, "/p.exe", {{"download_path", ""}}, 0, DefaultTarget(server_->Url("/p.exe"))},
      {8, "/p.exe", {{"download_path", custom}}, 0, custom},
  };
  for (int64_t n = 1; n <= static_cast<int64_t>(std::size(cases)); ++n) {
    const auto& c = cases[n - 1];
    SCOPED_TRACE(c.target);
    std::atomic<int> download_result{-1};
    delegate_.SetHook([&](const Json& event) {
      if (event["command"] == "cgi_response") {
        download_result = host_->Do(Command("download", n, c.parameters));
      }
    });
    const size_t first = delegate_.Events().size();
    const std::string offer = Offer(c.policy, package, c.path);
    CheckAnswered(n, offer, n);
    const auto finish = delegate_.WaitFor("download_finish", n);
    ASSERT_TRUE(finish);
    EXPECT_EQ(download_result.load(), 0);
    EXPECT_EQ(*finish, (Json{{"version", "1.0"},
                             {"command", "download_finish"},
                             {"token", n},
                             {"parameters", {{"err_code", c.err_code}, {"path", c.target}}}}));
    EXPECT_EQ(fs::exists(c.target), c.err_code == 0);
    EXPECT_EQ(ReadFileToString(c.target) == package, c.err_code == 0);
    const std::vector<Json> events = delegate_.Events();
    ASSERT_GE(events.size(), first + 3);
    EXPECT_EQ(
        events[first],
        (Json{{"version", "1.0"},
              {"command", "cgi_response"},
              {"token", n},
              {"parameters", {{"err_code", 0}, {"response_data", offer}, {"cgi_err_code", 200}}}}));
    EXPECT_EQ(events[first + 1],
              (Json{{"version", "1.0"}, {"command", "download_start"}, {"token", n}}));
    int64_t last = -1;
    for (size_t i = first + 2; i + 1 < events.size(); ++i) {
      ASSERT_EQ(events[i]["command"], "download_progress");
      EXPECT_GE(events[i]["parameters"]["downloaded_size"].get<int64_t>(), last);
      EXPECT_EQ(events[i]["parameters"]["total_size"], package.size());
      last = events[i]["parameters"]["downloaded_size"];
    }
    // A verified download reports its whole size last; a failed one may have received it all.
    if (c.err_code == 0) {
      EXPECT_EQ(last, static_cast<int64_t>(package.size()));
    }
  }
  delegate_.SetHook({});
}

// Another local user got to the shared temporary directory first: their "Halvern" directory
// holds a partial file of this very download that links to the victim's file.
TEST_F(UpdateRunTest, DownloadIntoAnotherUsersTemporaryDirectoryFailsAndTouchesNothing) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the planted directory belongs to another user (uid 65534)";
  }
  const std::string package = base::test::RandomBytes(100000);
  server_->Serve("/p.exe", package);
  const std::string halvern = env_->temp_dir() + "/Halvern";
  const std::string target = DefaultTarget(server_->Url("/p.exe"));
  const std::string victim = env_->root() + "/victim";
  std::ofstream(victim) << "victim data";
  fs::create_directories(env_->download_dir());
  fs::create_symlink(victim, target + ".part");
  std::ofstream(target + ".part.info")
      << "tavori-part 1\nurl " << server_->Url("/p.exe") << "\nmd5 " << util::crypto::Md5(package)
      << "\nsize " << package.size() << "\nvalidator \"v1\"\n";
  ASSERT_EQ(lchown(halvern.c_str(), 65534, 65534), 0);
  for (const auto& entry : fs::recursive_directory_iterator(halvern)) {
    ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
  }
  CheckAnswered(3, Offer(2, package, "/p.exe"));
  ASSERT_EQ(host_->Do(Command("download", 3)), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["parameters"], (Json{{"err_code", 5}, {"path", target}}));
  EXPECT_TRUE(ReadFileToString(victim) == "victim data") << "the victim's file was written";
  EXPECT_TRUE(fs::is_symlink(target + ".part"));
  EXPECT_EQ(RequestsTo("/p.exe"), 0u);
}

class NonUtf8TempDirTest : public UpdateRunTest {
 protected:
  NonUtf8TempDirTest() { overrides_ = {{"TMPDIR", "/tmp/\xff\xfe"}}; }
};

TEST_F(NonUtf8TempDirTest, IsRefusedNotReplaced) {
  CheckAnswered(3, Offer(2, base::test::RandomBytes(1000), "/p.exe"));
  EXPECT_EQ(host_->Do(Command("download", 3)), 9);
  EXPECT_TRUE(env_->Logged(" L1 update_operation:"));
  EXPECT_TRUE(env_->Logged("no temporary directory, error:1113\n"));
}

TEST_F(UpdateRunTest, CancelStaleTokensAndNewChecksStopTheDownload) {
  const std::string package = base::test::RandomBytes(1 << 20);
  PlannedAnswer slow;
  slow.body = package;
  slow.stall_after = 1000;
  server_->SetDefault("/slow.exe", slow);
  CheckAnswered(30, Offer(2, package, "/slow.exe"));
  // Stopped by "cancel_download", by a stale token, and by a new check.
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 1));
  ASSERT_TRUE(server_->WaitForStall(20s));
  EXPECT_EQ(host_->Do(Command("cancel_download", 30)), 0);
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 2));
  EXPECT_EQ(host_->Do(Command("download", 31)), 11);
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 3));
  server_->Serve("/fast.exe", package);
  CheckAnswered(32, Offer(2, package, "/fast.exe"), 2);
  server_->ReleaseStalls();
  // A download that goes through finishes; none of the stopped ones ever did.
  ASSERT_EQ(host_->Do(Command("download", 32)), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["token"], 32);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  const std::vector<std::string> names = delegate_.Commands();
  EXPECT_EQ(std::count(names.begin(), names.end(), "download_finish"), 1);
  EXPECT_FALSE(fs::exists(DefaultTarget(server_->Url("/slow.exe"))));
}

// A library file whose path does not fit the 260-character buffers: the update process cannot
// name its version directory, installs nothing and sends no "update_finished" for that run.
TEST_F(UpdateRunTest, VersionDirectoryBeyondMaxPathStopsTheInstallation) {
  const fs::path deep =
      fs::path(env_->root()) / std::string(150, 'd') / std::string(100, 'e') / "1.2.3.4";
  fs::create_directories(deep);
  fs::copy_file(UPDATE_LIB_PATH, deep / "libupdate_lib.so");
  LibraryHost deep_host((deep / "libupdate_lib.so").string());
  deep_host.SetInitSDK(true);
  deep_host.SetDelegate(&delegate_);
  const std::string package = base::test::RandomBytes(1000);
  server_->Serve("/p.exe", package);
  RememberUrl();
  server_->Plan("/check", Respond(200, Offer(2, package, "/p.exe")));
  ASSERT_EQ(deep_host.Do(UnattendedCheck(2, 0)), 0);
  ASSERT_TRUE(env_->WaitForLog("Get version sub path error!"));
  EXPECT_TRUE(env_->Logged("GetModuleFileNameW failed, error:122\n"));
  // The next run's "update_finished" is the first one.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(deep_host.Do(UnattendedCheck(3, 0)), 0);
  const auto finished = delegate_.WaitFor("update_finished");
  ASSERT_TRUE(finished);
  EXPECT_EQ((*finished)["token"], 3);
  deep_host.SetDelegate(nullptr);
}

}  // namespace
}  // namespace update_test
