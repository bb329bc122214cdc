// The update run through the real library: the check request, the service's answer and upgrade
// policy, and the download, against a scripted update service on loopback.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "base/test/file_contents.h"
#include "tavorisdk/test/scripted_server.h"
#include "update/update_lib/tests/library_host.h"
#include "util/crypto/crypto.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using base::test::ReadFileToString;
using tavorisdk::test::PlannedAnswer;
using tavorisdk::test::Respond;
using tavorisdk::test::ScriptedServer;

constexpr char kVersion[] = PRODUCT_VERSION;  // the project's version, as the build sets it

std::string Package(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7919) >> 3);
  }
  return bytes;
}

class UpdateRunTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // Before the library starts any thread that may read the environment.
    if (!system_root_override_.empty()) {
      setenv("TAVORI_SYSTEM_ROOT", system_root_override_.c_str(), 1);
    }
    if (!temp_override_.empty()) {
      setenv("TMPDIR", temp_override_.c_str(), 1);
    }
    server_ = std::make_unique<ScriptedServer>();
    host_->SetInitSDK(true);
    host_->SetDelegate(&delegate_);
  }

  // The service's check URL; it carries its own "?" as the service expects.
  std::string CgiUrl(const std::string& path = "/check") const {
    return server_->Url(path) + "?client=host";
  }

  Json ClientCheck(int64_t token, int from_where, int enable_patch,
                   const std::string& path = "/check") const {
    return Command("check_upgrade", token,
                   {{"app_from", "tavoriapp"},
                    {"from_where", from_where},
                    {"cgi_url", CgiUrl(path)},
                    {"enable_patch", enable_patch}});
  }
  static Json UnattendedCheck(int64_t token, int enable_patch = 0) {
    return Command("check_upgrade", token,
                   {{"app_from", "update_process"}, {"enable_patch", enable_patch}});
  }

  // A check answer offering |package| at |package_path| of the server.
  std::string Offer(int policy, const std::string& package, const std::string& package_path,
                    const std::string& version = "9.9.9.9") const {
    return Json{{"upgrade_policy", policy},
                {"version", version},
                {"package_url", server_->Url(package_path)},
                {"size", package.size()},
                {"md5", util::crypto::Md5(package)}}
        .dump();
  }

  // The target of the |n|th request to the server (1-based), waiting for it.
  std::string RequestTarget(size_t n) const {
    EXPECT_TRUE(server_->WaitForRequests(n, 20s));
    const auto requests = server_->Requests();
    return requests.size() >= n ? requests[n - 1].target : "";
  }

  size_t RequestsTo(const std::string& path) const {
    size_t n = 0;
    for (const auto& request : server_->Requests()) {
      n += request.path == path ? 1 : 0;
    }
    return n;
  }

  // A client check whose request reached the service and whose URL is stored for unattended
  // checks.  Waiting for the request keeps its answer from taking one planned for a later check.
  void RememberUrl(int64_t token) {
    const size_t requests = server_->RequestCount();
    ASSERT_EQ(host_->Do(ClientCheck(token, 2, 0)), 0);
    ASSERT_TRUE(server_->WaitForRequests(requests + 1, 20s));
    ASSERT_TRUE(WaitForStoredUrl());
  }

  // Makes sure that the unattended check stored its URL (the store write runs on the library's
  // file looper and has no event): waits for the row in the configuration database.
  bool WaitForStoredUrl() const {
    const std::string marker = util::crypto::Encode64(CgiUrl());
    const std::string db = env_->config_dir() + "/Halvern/Tavori/Global/Database/" +
                           util::crypto::Md5("0_update_process_configuration") + ".db";
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      // The committed row is in the file or its write-ahead log.
      if (ReadFileToString(db).find(marker) != std::string::npos ||
          ReadFileToString(db + "-wal").find(marker) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  std::string system_root_override_;
  std::string temp_override_;
  std::unique_ptr<ScriptedServer> server_;
};

class NonUtf8TempDirTest : public UpdateRunTest {
 protected:
  NonUtf8TempDirTest() { temp_override_ = "/tmp/\xff\xfe"; }
};

class LongSystemRootTest : public UpdateRunTest {
 protected:
  LongSystemRootTest() { system_root_override_ = "/" + std::string(300, 'r'); }
};

// --- The check request ---

TEST_F(UpdateRunTest, CheckUrlCarriesOriginVersionAndPatchParameters) {
  struct Case {
    int from_where;
    int enable_patch;
    HostEnvironment::Flag flag;
    std::string origin;  // expected "&from=" parameter, or ""
    std::string patch;   // expected enable_patch value
  } cases[] = {
      {3, 0, HostEnvironment::Flag::kAbsent, "&from=1", "0"},
      {2, 0, HostEnvironment::Flag::kAbsent, "", "0"},
      {1, 0, HostEnvironment::Flag::kAbsent, "&from=2", "0"},
      {4, 0, HostEnvironment::Flag::kAbsent, "&from=2", "0"},
      {5, 0, HostEnvironment::Flag::kAbsent, "&from=2", "0"},
      {0, 0, HostEnvironment::Flag::kAbsent, "", "0"},
      {6, 0, HostEnvironment::Flag::kAbsent, "", "0"},
      {-1, 0, HostEnvironment::Flag::kAbsent, "", "0"},
      {2, 1, HostEnvironment::Flag::kAbsent, "", "1"},
      {2, 1, HostEnvironment::Flag::kFile, "", "0"},
      {2, 1, HostEnvironment::Flag::kDirectory, "", "0"},
      {2, 7, HostEnvironment::Flag::kFile, "", "7"},
      {2, -3, HostEnvironment::Flag::kAbsent, "", "-3"},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from_where) + "/" + std::to_string(c.enable_patch));
    env_->SetErrorFlag(c.flag);
    const int64_t before_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    ASSERT_EQ(host_->Do(ClientCheck(11, c.from_where, c.enable_patch)), 0);
    const std::string target = RequestTarget(++n);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        target, m,
        std::regex(R"(/check\?client=host&time=(\d+))" + c.origin +
                   "&appver=" + std::regex_replace(kVersion, std::regex(R"(\.)"), R"(\.)") +
                   "&enable_patch=" + c.patch)))
        << target;
    EXPECT_GE(std::stoll(m[1]), before_ms);
  }
  // The flag file was probed only for enable_patch 1.
  EXPECT_EQ(env_->Find("path update error flag").size(), 3u);
}

TEST_F(UpdateRunTest, UnattendedCheckUsesTheRememberedUrlAndOrigin1) {
  EXPECT_EQ(host_->Do(UnattendedCheck(1)), 5);
  EXPECT_TRUE(env_->Logged("get check update params failed."));
  RememberUrl(2);
  ASSERT_EQ(host_->Do(UnattendedCheck(3, 1)), 0);
  EXPECT_TRUE(std::regex_match(RequestTarget(2),
                               std::regex(R"(/check\?client=host&time=\d+&from=1&appver=[0-9.]+)"
                                          R"(&enable_patch=1)")));
}

TEST_F(UpdateRunTest, CheckParametersAreReadInOrder) {
  // A check refused for "from_where" stores nothing; one refused for "enable_patch" has stored
  // its URL already.
  Json no_from_where = ClientCheck(1, 2, 0);
  no_from_where["parameters"]["from_where"] = "2";
  EXPECT_EQ(host_->Do(no_from_where), 1);
  EXPECT_TRUE(env_->Logged("bad  from_where:"));
  Json no_url = ClientCheck(1, 2, 0);
  no_url["parameters"].erase("cgi_url");
  EXPECT_EQ(host_->Do(no_url), 1);
  EXPECT_EQ(host_->Do(UnattendedCheck(1)), 5);

  Json no_patch = ClientCheck(1, 2, 0);
  no_patch["parameters"]["enable_patch"] = 1.5;
  EXPECT_EQ(host_->Do(no_patch), 1);
  ASSERT_TRUE(WaitForStoredUrl());
  EXPECT_EQ(host_->Do(UnattendedCheck(1)), 0);
  EXPECT_EQ(host_->Do(Command("check_upgrade", 1, {{"enable_patch", 0}})), 1);
  EXPECT_TRUE(env_->Logged("bad  app_from:"));
}

TEST_F(UpdateRunTest, UnknownCallerSendsTheParametersAlone) {
  ASSERT_EQ(host_->Do(Command("check_upgrade", 1,
                              {{"app_from", "someone"},
                               {"cgi_url", CgiUrl()},
                               {"from_where", 3},
                               {"enable_patch", 0}})),
            0);
  const std::vector<LogLine> urls = env_->Find("[pu] cgi url ");
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_TRUE(std::regex_match(urls[0].text, std::regex(R"(\[pu\] cgi url &time=\d+&appver=.*)")));
}

TEST_F(LongSystemRootTest, WindowsDirectoryBeyondMaxPathMeansNoPatch) {
  ASSERT_EQ(host_->Do(ClientCheck(1, 2, 1)), 0);
  EXPECT_TRUE(RequestTarget(1).ends_with("&enable_patch=0"));
  EXPECT_TRUE(env_->Logged("GetWindowsDirectoryW failed, error:122"));
}

// --- The answer and the upgrade policy ---

TEST_F(UpdateRunTest, ClientReceivesTheAnswerWhole) {
  const std::string answer = "{\"upgrade_policy\": 1, \"note\": \"caf\xC3\xA9\",\n \"x\": [1,2]}";
  server_->Plan("/check", Respond(200, answer));
  ASSERT_EQ(host_->Do(ClientCheck(77, 3, 0)), 0);
  const auto event = delegate_.WaitFor("cgi_response");
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["version"], "1.0");
  EXPECT_EQ((*event)["token"], 77);
  EXPECT_EQ((*event)["parameters"],
            (Json{{"err_code", 0}, {"response_data", answer}, {"cgi_err_code", 200}}));
}

TEST_F(UpdateRunTest, ClientPolicyTable) {
  // Answers that deliver "cgi_response" and those that deliver nothing.  After each silent one a
  // delivering answer follows; events arrive in order, so a stray event would come first.
  struct Case {
    std::string answer;
    bool delivered;
  } cases[] = {
      {R"({"upgrade_policy":0})", true},
      {R"({"upgrade_policy":1})", true},
      {R"({"upgrade_policy":2})", true},
      {R"({"upgrade_policy":3})", true},
      {R"({"upgrade_policy":4})", true},
      {R"({"upgrade_policy":7})", true},
      {R"({"upgrade_policy":8})", true},
      {R"({"upgrade_policy":9})", false},
      {R"({"upgrade_policy":-1})", false},
      {R"({"upgrade_policy":"2"})", false},
      {R"({"other":1})", false},
      {R"([1])", false},
      {R"(not json)", false},
      {"", false},
      {R"({"upgrade_policy":4294967298})", true},  // low 32 bits: 2
  };
  int64_t token = 100;
  size_t events = 0;
  size_t silent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    const size_t answers = env_->Find("response data ").size();
    server_->Plan("/check", Respond(200, c.answer));
    ASSERT_EQ(host_->Do(ClientCheck(++token, 2, 0)), 0);
    if (c.delivered) {
      const auto event = delegate_.WaitFor("cgi_response", ++events);
      ASSERT_TRUE(event);
      EXPECT_EQ((*event)["token"], token);
      EXPECT_EQ((*event)["parameters"]["response_data"], c.answer);
      continue;
    }
    ++silent;
    ASSERT_TRUE(env_->WaitForLog("response data ", answers + 1));
    server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
    ASSERT_EQ(host_->Do(ClientCheck(++token, 2, 0)), 0);
    const auto next = delegate_.WaitFor("cgi_response", ++events);
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)["token"], token);
  }
  EXPECT_EQ(delegate_.Count("cgi_response"), events);
  EXPECT_EQ(env_->Find("unknown upgrade policy").size(), 2u);
  // Logged for the answer with policy 0 and each follower.
  EXPECT_EQ(env_->Find("no need upgrade").size(), 1 + silent);
  EXPECT_EQ(env_->Find("parse json error!").size(), 1u);
}

TEST_F(UpdateRunTest, StatusOtherThan200DeliversNothing) {
  server_->Plan("/check", Respond(404, R"({"upgrade_policy":0})"));
  ASSERT_EQ(host_->Do(ClientCheck(1, 2, 0)), 0);
  ASSERT_TRUE(env_->WaitForLog("response data ", 1));
  // The request was released: the next check's answer is an ordinary one.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(host_->Do(ClientCheck(2, 2, 0)), 0);
  const auto event = delegate_.WaitFor("cgi_response");
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["token"], 2);
  EXPECT_EQ((*event)["parameters"]["err_code"], 0);
  EXPECT_EQ(delegate_.Events().size(), 1u);
}

TEST_F(UpdateRunTest, UnattendedPolicyTable) {
  RememberUrl(1);
  // The package is missing on the server: a download that starts fails and ends the run.
  const std::string package = Package(1000);
  struct Case {
    int policy;
    bool downloads;
  } cases[] = {{0, false}, {1, false}, {2, true},  {3, true}, {4, false},
               {5, false}, {6, false}, {7, false}, {8, true}, {9, false}};
  size_t finished = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    const size_t package_requests = RequestsTo("/missing.exe");
    server_->Plan("/check", Respond(200, Offer(c.policy, package, "/missing.exe")));
    ASSERT_EQ(host_->Do(UnattendedCheck(10 + c.policy)), 0);
    const auto event = delegate_.WaitFor("update_finished", ++finished);
    ASSERT_TRUE(event);
    EXPECT_EQ(*event,
              (Json{{"version", "1.0"}, {"command", "update_finished"}, {"token", 10 + c.policy}}));
    EXPECT_EQ(RequestsTo("/missing.exe") > package_requests, c.downloads);
  }
  EXPECT_EQ(delegate_.Count("cgi_response"), 0u);
  // A policy that is not a number ends nothing: no event at all.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":"0"})"));
  ASSERT_EQ(host_->Do(UnattendedCheck(50)), 0);
  ASSERT_TRUE(env_->WaitForLog(R"(response data {"upgrade_policy":"0"})", 1));
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(host_->Do(UnattendedCheck(51)), 0);
  const auto last = delegate_.WaitFor("update_finished", ++finished);
  ASSERT_TRUE(last);
  EXPECT_EQ((*last)["token"], 51);
}

TEST_F(UpdateRunTest, SilentlyInstalledVersionEndsTheUnattendedRun) {
  RememberUrl(1);
  const std::string package = Package(1000);
  struct Case {
    std::vector<std::string> registry;  // lines under the client's key; empty: no file
    std::string offered;
    bool already_installed;
  } cases[] = {
      {{R"("SilentInstallVersion"="2.0.0.10")"}, "2.0.0.9", true},
      {{R"("silentinstallversion"="2.0.0.9")"}, "2.0.0.9", true},
      {{R"("SilentInstallVersion"="2.0.0.9")"}, "2.0.0.10", false},
      {{R"("SilentInstallVersion"="3.0.0.0")"}, "2.0.0", false},
      {{R"("SilentInstallVersion"="3.0.0.0")"}, "2.0.0.0.1", false},
      {{R"("SilentInstallVersion"="3.0.0.0")"}, "1a.0.0.0", false},
      {{R"("SilentInstallVersion"="-1.0.0.0")"}, "0.0.0.0", false},
      {{R"("SilentInstallVersion"="1.0.0.0")"}, "-1.0.0.0", true},
      {{R"("SilentInstallVersion"="")"}, "1.0.0.0", false},
      {{R"("SilentInstallVersion"=dword:00000001)"}, "1.0.0.0", false},
      {{}, "1.0.0.0", false},
  };
  size_t finished = 0;
  int64_t token = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    if (c.registry.empty()) {
      fs::remove(env_->system_root() + "/registry/HKEY_LOCAL_MACHINE.reg");
    } else {
      env_->WriteRegistry(c.registry);
    }
    const size_t package_requests = RequestsTo("/missing.exe");
    const size_t silent = env_->Find("already silent installed new ver.").size();
    server_->Plan("/check", Respond(200, Offer(2, package, "/missing.exe", c.offered)));
    ASSERT_EQ(host_->Do(UnattendedCheck(++token)), 0);
    ASSERT_TRUE(delegate_.WaitFor("update_finished", ++finished));
    EXPECT_EQ(RequestsTo("/missing.exe") == package_requests, c.already_installed);
    EXPECT_EQ(env_->Find("already silent installed new ver.").size() > silent, c.already_installed);
  }
  EXPECT_TRUE(env_->Logged("Silent install version:2.0.0.10"));
  EXPECT_TRUE(env_->Logged("get SilentInstallVersion failed, error:1630"));
  EXPECT_TRUE(env_->Logged("get SilentInstallVersion failed, error:2"));
}

// --- The download ---

TEST_F(UpdateRunTest, ClientDownloadsToTheDefaultPathWithEvents) {
  const std::string package = Package(3 << 20);
  server_->Serve("/pkg/setup.exe", package);
  server_->Plan("/check", Respond(200, Offer(2, package, "/pkg/setup.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(5, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  ASSERT_EQ(host_->Do(Command("download", 5, {{"download_path", ""}})), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  const std::string target =
      env_->download_dir() + util::crypto::Md5(server_->Url("/pkg/setup.exe")) + ".exe";
  EXPECT_EQ((*finish)["parameters"], (Json{{"err_code", 0}, {"path", target}}));
  EXPECT_EQ((*finish)["token"], 5);
  EXPECT_EQ(util::crypto::Md5(ReadFileToString(target)), util::crypto::Md5(package));

  const std::vector<std::string> names = delegate_.Commands();
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ(names[1], "download_start");
  EXPECT_EQ(names.back(), "download_finish");
  int64_t last = -1;
  for (const Json& event : delegate_.Events()) {
    if (event["command"] == "download_progress") {
      const int64_t downloaded = event["parameters"]["downloaded_size"];
      EXPECT_GE(downloaded, last);
      EXPECT_EQ(event["parameters"]["total_size"], static_cast<int64_t>(package.size()));
      last = downloaded;
    } else if (event["command"] == "download_start") {
      EXPECT_EQ(event, (Json{{"version", "1.0"}, {"command", "download_start"}, {"token", 5}}));
    }
  }
  EXPECT_EQ(last, static_cast<int64_t>(package.size()));
  EXPECT_TRUE(env_->Logged("download finish,app_from_:tavoriapp"));
}

TEST_F(UpdateRunTest, DownloadPathAndRefusedAnswers) {
  const std::string package = Package(1000);
  server_->Serve("/p.exe", package);
  struct Case {
    std::string name;
    Json answer;      // the check answer
    Json parameters;  // of the "download" command
    int result;
    std::string record;  // expected level-3 record, "" for none
    std::string target;  // expected path of download_finish ("" when none; "default")
  };
  const Json good = Json::parse(Offer(8, package, "/p.exe"));
  auto with = [&](const char* key, Json value) {
    Json answer = good;
    if (value.is_null()) {
      answer.erase(key);
    } else {
      answer[key] = value;
    }
    return answer;
  };
  const std::string custom = env_->root() + "/custom/place.bin";
  fs::create_directories(env_->root() + "/custom");
  const Case cases[] = {
      {"size as text", with("size", "1000"), {}, 9, "package size is not int", ""},
      {"size missing", with("size", nullptr), {}, 9, "package size is not int", ""},
      {"md5 as number", with("md5", 5), {}, 9, "package md5 is not string", ""},
      {"url as number", with("package_url", 5), {}, 9, "package url is not string", ""},
      {"url too short", with("package_url", "a.b"), {}, 9, "package url too short", ""},
      {"url ends in a directory",
       with("package_url", server_->Url("/dir/x/")),
       {},
       9,
       "package url does not end in a file name",
       ""},
      {"url ends in a parent",
       with("package_url", server_->Url("/a/..")),
       {},
       9,
       "package url does not end in a file name",
       ""},
      {"url with backslash",
       with("package_url", server_->Url("/a\\exe")),
       {},
       9,
       "package url does not end in a file name",
       ""},
      {"custom path", good, {{"download_path", custom}}, 0, "", custom},
      {"path as number", good, {{"download_path", 5}}, 0, "", "default"},
      {"no parameters", good, nullptr, 0, "", "default"},
  };
  int64_t token = 20;
  size_t finishes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_->Plan("/check", Respond(200, c.answer.dump()));
    ASSERT_EQ(host_->Do(ClientCheck(++token, 2, 0)), 0);
    ASSERT_TRUE(delegate_.WaitFor("cgi_response", static_cast<size_t>(token - 20)));
    const size_t records = c.record.empty() ? 0 : env_->Find(c.record).size();
    Json command = Command("download", token, c.parameters);
    if (c.parameters.is_null()) {
      command.erase("parameters");
    }
    EXPECT_EQ(host_->Do(command), c.result);
    if (!c.record.empty()) {
      const std::vector<LogLine> found = env_->Find(c.record);
      ASSERT_EQ(found.size(), records + 1);
      EXPECT_EQ(found.back().level, 3);
    }
    if (c.target.empty()) {
      continue;
    }
    const auto finish = delegate_.WaitFor("download_finish", ++finishes);
    ASSERT_TRUE(finish);
    const std::string target =
        c.target == "default"
            ? env_->download_dir() + util::crypto::Md5(server_->Url("/p.exe")) + ".exe"
            : c.target;
    EXPECT_EQ((*finish)["parameters"]["path"], target);
    EXPECT_EQ(ReadFileToString(target), package);
  }
  // Nothing was ever written outside the download directory but the custom file.
  for (const auto& entry : fs::recursive_directory_iterator(env_->temp_dir())) {
    if (entry.is_regular_file()) {
      EXPECT_EQ(entry.path().parent_path().string() + "/", env_->download_dir());
    }
  }
}

TEST_F(UpdateRunTest, DownloadWithoutAnswerIs8) {
  EXPECT_EQ(host_->Do(Command("download", 0)), 8);
  EXPECT_TRUE(env_->Logged("bad cgi response:"));
}

TEST_F(UpdateRunTest, FailedDownloadReportsTheErrorAndLeavesNoFile) {
  const std::string package = Package(5000);
  std::string corrupt = package;
  corrupt[100] ^= 1;
  server_->Serve("/bad.exe", corrupt);
  server_->Serve("/good.exe", package);
  const Json good = Json::parse(Offer(3, package, "/good.exe"));
  auto with = [&](Json changes) {
    Json answer = good;
    answer.update(changes);
    return answer;
  };
  const struct {
    const char* name;
    Json answer;
    int err_code;
  } cases[] = {
      {"wrong bytes", Json::parse(Offer(3, package, "/bad.exe")), 4},
      // Nothing to verify the bytes against: never a success.
      {"empty md5", with({{"md5", ""}}), 4},
      {"negative size", with({{"size", -1}}), 3},
      {"empty md5 and negative size", with({{"md5", ""}, {"size", -1}}), 3},
  };
  int64_t token = 9;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->Plan("/check", Respond(200, c.answer.dump()));
    ASSERT_EQ(host_->Do(ClientCheck(++token, 2, 0)), 0);
    ASSERT_TRUE(delegate_.WaitFor("cgi_response", static_cast<size_t>(token - 9)));
    ASSERT_EQ(host_->Do(Command("download", token)), 0);
    const auto finish = delegate_.WaitFor("download_finish", static_cast<size_t>(token - 9));
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)["parameters"]["err_code"], c.err_code);
    EXPECT_FALSE(fs::exists((*finish)["parameters"]["path"].get<std::string>()));
  }
}

// Another local user got to the shared temporary directory first: their "Halvern" directory
// holds a partial file of this very download that links to the victim's file.
TEST_F(UpdateRunTest, DownloadIntoAnotherUsersTemporaryDirectoryFailsAndTouchesNothing) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the planted directory belongs to another user (uid 65534)";
  }
  const std::string package = Package(100000);
  server_->Serve("/p.exe", package);
  const std::string halvern = env_->temp_dir() + "/Halvern";
  const std::string target =
      env_->download_dir() + util::crypto::Md5(server_->Url("/p.exe")) + ".exe";
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

  server_->Plan("/check", Respond(200, Offer(2, package, "/p.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(3, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  ASSERT_EQ(host_->Do(Command("download", 3)), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["parameters"], (Json{{"err_code", 5}, {"path", target}}));
  EXPECT_TRUE(ReadFileToString(victim) == "victim data") << "the victim's file was written";
  EXPECT_TRUE(fs::is_symlink(target + ".part"));
  EXPECT_EQ(RequestsTo("/p.exe"), 0u);
  const std::vector<LogLine> records = env_->Find("directory " + halvern + " is not private");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 1);
}

TEST_F(NonUtf8TempDirTest, IsRefusedNotReplaced) {
  const std::string package = Package(1000);
  server_->Plan("/check", Respond(200, Offer(2, package, "/p.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(3, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  EXPECT_EQ(host_->Do(Command("download", 3)), 9);
  const std::vector<LogLine> records = env_->Find("no temporary directory, error:1113");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_EQ(RequestsTo("/p.exe"), 0u);
}

TEST_F(UpdateRunTest, CancelAndStaleTokensStopTheDownload) {
  const std::string package = Package(1 << 20);
  PlannedAnswer slow;
  slow.body = package;
  slow.stall_after = 1000;
  server_->SetDefault("/slow.exe", slow);
  server_->Plan("/check", Respond(200, Offer(2, package, "/slow.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(30, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));

  // "cancel_download" under the current token.
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 1));
  ASSERT_TRUE(server_->WaitForStall(20s));
  EXPECT_EQ(host_->Do(Command("cancel_download", 30)), 0);

  // A stale token cancels the next one and is refused.
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 2));
  EXPECT_EQ(host_->Do(Command("download", 31)), 11);

  // A new check (new token) cancels the third.
  ASSERT_EQ(host_->Do(Command("download", 30)), 0);
  ASSERT_TRUE(delegate_.WaitFor("download_start", 3));
  server_->Plan("/check", Respond(200, Offer(2, package, "/slow.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(32, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response", 2));
  server_->ReleaseStalls();

  // A download that goes through finishes; none of the stopped ones ever did.
  server_->Serve("/fast.exe", package);
  server_->Plan("/check", Respond(200, Offer(2, package, "/fast.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(32, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response", 3));
  ASSERT_EQ(host_->Do(Command("download", 32)), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["token"], 32);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  EXPECT_EQ(delegate_.Count("download_finish"), 1u);
  EXPECT_FALSE(
      fs::exists(env_->download_dir() + util::crypto::Md5(server_->Url("/slow.exe")) + ".exe"));
}

TEST_F(UpdateRunTest, FailedUnattendedDownloadEndsTheRun) {
  RememberUrl(1);
  const std::string package = Package(1000);
  server_->Plan("/pkg.exe", Respond(500, "broken"));
  server_->Plan("/check", Respond(200, Offer(8, package, "/pkg.exe")));
  ASSERT_EQ(host_->Do(UnattendedCheck(2)), 0);
  ASSERT_TRUE(delegate_.WaitFor("update_finished"));
  EXPECT_GE(RequestsTo("/pkg.exe"), 1u);
  EXPECT_TRUE(env_->Logged("download finish,app_from_:update_process"));
  EXPECT_EQ(delegate_.Commands(), std::vector<std::string>{"update_finished"});
}

// --- The host's delegate ---

TEST_F(UpdateRunTest, HostMaySendCommandsFromInsideEvents) {
  const std::string package = Package(200000);
  server_->Serve("/p.exe", package);
  server_->Plan("/check", Respond(200, Offer(2, package, "/p.exe")));
  std::atomic<int> download_result{-1};
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response") {
      download_result = host_->Do(Command("download", event["token"]));
    } else if (event["command"] == "download_finish") {
      // Replacing the delegate from inside its own event must not wait for itself.
      host_->SetDelegate(&delegate_);
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(3, 2, 0)), 0);
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ(download_result.load(), 0);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
}

TEST_F(UpdateRunTest, EventsGoToTheDelegateInstalledWhenTheyAreSent) {
  RecordingDelegate second;
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":1})"));
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":4})"));
  ASSERT_EQ(host_->Do(ClientCheck(1, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));

  // No delegate: the event is dropped with a record and never delivered later.
  host_->SetDelegate(nullptr);
  ASSERT_EQ(host_->Do(ClientCheck(2, 2, 0)), 0);
  ASSERT_TRUE(env_->WaitForLog("update_event_delegate is nullptr", 1));

  host_->SetDelegate(&second);
  ASSERT_EQ(host_->Do(ClientCheck(3, 2, 0)), 0);
  const auto event = second.WaitFor("cgi_response");
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["token"], 3);
  EXPECT_EQ(second.Events().size(), 1u);
  EXPECT_EQ(delegate_.Events().size(), 1u);
  host_->SetDelegate(nullptr);
}

// A library file whose path does not fit the 260-character buffers: the update process cannot
// name its version directory, installs nothing and sends no "update_finished" for that run.
class DeepLibraryTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    const fs::path deep =
        fs::path(env_->root()) / std::string(150, 'd') / std::string(100, 'e') / "1.2.3.4";
    fs::create_directories(deep);
    fs::copy_file(UPDATE_LIB_PATH, deep / "libupdate_lib.so");
    deep_host_ = std::make_unique<LibraryHost>((deep / "libupdate_lib.so").string());
    deep_host_->SetInitSDK(true);
    deep_host_->SetDelegate(&delegate_);
  }
  void TearDown() override {
    deep_host_->SetDelegate(nullptr);
    UpdateRunTest::TearDown();
  }
  std::unique_ptr<LibraryHost> deep_host_;
};

TEST_F(DeepLibraryTest, VersionDirectoryBeyondMaxPathStopsTheInstallation) {
  const std::string package = Package(1000);
  server_->Serve("/p.exe", package);
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":1})"));
  ASSERT_EQ(deep_host_->Do(ClientCheck(1, 2, 0)), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  ASSERT_TRUE(WaitForStoredUrl());
  server_->Plan("/check", Respond(200, Offer(2, package, "/p.exe")));
  ASSERT_EQ(deep_host_->Do(UnattendedCheck(2)), 0);
  ASSERT_TRUE(env_->WaitForLog("Get version sub path error!", 1));
  const std::vector<LogLine> failed = env_->Find("GetModuleFileNameW failed, error:");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text, "GetModuleFileNameW failed, error:122");
  EXPECT_EQ(failed[0].level, 1);
  // The next run's "update_finished" is the first one.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(deep_host_->Do(UnattendedCheck(3)), 0);
  const auto finished = delegate_.WaitFor("update_finished");
  ASSERT_TRUE(finished);
  EXPECT_EQ((*finished)["token"], 3);
  EXPECT_FALSE(env_->Logged("create instance failed:"));
}

}  // namespace
}  // namespace update_test
