// In-process tests of the update operation: version comparison, the check's parameters and its
// store write (waited for by draining the file looper), the answer's handling by caller and
// policy, and when the host's delegate may be replaced.

#include "update_operation.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "base/test/log_capture.h"
#include "base/test/temp_dir.h"
#include "base/threading/looper_thread.h"
#include "tests/library_host.h"
#include "value_parsing.h"

namespace UpdateLib {
namespace {

using base::json::JsonValue;

TEST(CompareVersionTest, Table) {
  struct Case {
    const char* installed;
    const char* offered;
    int32_t expected;
  } cases[] = {
      {"1.2.3.4", "1.2.3.4", 0},     {"2.0.0.10", "2.0.0.9", 1},  {"2.0.0.9", "2.0.0.10", -1},
      {"007.0.0.1", "7.0.0.1", 0},   {"-1.0.0.0", "0.0.0.0", -1}, {"1.0.0", "1.0.0.0", 2},
      {"1.0.0.0.0", "1.0.0.0.0", 2}, {"1..0.0", "1.0.0.0", 2},    {"1a.0.0.0", "1.0.0.0", 2},
      {"1.0.0.0", "1.0.0.-1", 1},    {"1.0.0.0", "1.0.0.0-", 2},  {"1.0.0.0", "+1.0.0.0", 2},
      {"1.0.0.0", "1.0.0.0.", 2},    {"2.0.0.x", "1.0.0.0", 1},  // not looked at after a difference
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateOperation::CompareVersion(c.installed, c.offered), c.expected)
        << c.installed << " vs " << c.offered;
  }
}

// The "command" of each event of |delegate| from the |*taken|th on, with its "err_code" when it
// has one; moves |*taken| past them.
std::vector<std::string> Take(const update_test::RecordingDelegate& delegate, size_t* taken) {
  std::vector<std::string> names;
  const std::vector<update_test::Json> events = delegate.Events();
  for (; *taken < events.size(); ++*taken) {
    const update_test::Json& event = events[*taken];
    const update_test::Json error = event.value("parameters", update_test::Json::object())
                                        .value("err_code", update_test::Json());
    names.push_back(event["command"].get<std::string>() +
                    (error.is_null() ? "" : " " + error.dump()));
  }
  return names;
}

TEST(UpdateOperationDelegateTest, ReplacingWaitsForDeliveriesAndNullOrThrowingDelegates) {
  UpdateOperation* operation = UpdateOperation::GetInstance();
  update_test::RecordingDelegate old_delegate;
  std::promise<void> inside;
  std::promise<void> release;
  old_delegate.SetHook([&](const update_test::Json&) {
    inside.set_value();
    release.get_future().wait();
  });
  operation->SetDelegate(&old_delegate);
  std::thread delivery([operation] { operation->NotifyUpdateFinished(); });
  inside.get_future().wait();
  update_test::RecordingDelegate new_delegate;
  auto replaced = std::async(std::launch::async, [&] { operation->SetDelegate(&new_delegate); });
  // Still blocked: the old delegate is inside OnUpdateEvent on the other thread.
  EXPECT_EQ(replaced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  replaced.get();
  delivery.join();
  operation->NotifyUpdateFinished();
  size_t taken = 0;
  EXPECT_EQ(Take(new_delegate, &taken), std::vector<std::string>{"update_finished"});

  // Without a delegate an event is dropped with a record, and never delivered later; a host's
  // exception stops in the library.
  base::test::ScopedLogCapture capture;
  operation->SetDelegate(nullptr);
  operation->NotifyUpdateFinished();
  EXPECT_EQ(capture.WithPrefix("update_event_delegate is nullptr").size(), 1u);
  new_delegate.SetHook([](const update_test::Json&) { throw std::runtime_error("host"); });
  operation->SetDelegate(&new_delegate);
  operation->NotifyUpdateFinished();
  EXPECT_EQ(Take(new_delegate, &taken), std::vector<std::string>{"update_finished"});
  EXPECT_TRUE(capture.Contains("update event delegate threw"));
  operation->SetDelegate(nullptr);
}

// The library does not start the platform SDK here, but checks do go out: to a loopback port that
// takes connections and never answers, so that each check stays outstanding until the test hands
// its answer in.
class UpdateOperationTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    setenv("TAVORI_SYSTEM_ROOT", config_.path().c_str(), 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    auto* name = reinterpret_cast<sockaddr*>(&address);
    ASSERT_TRUE(silent_ >= 0 && bind(silent_, name, length) == 0 && listen(silent_, 64) == 0 &&
                getsockname(silent_, name, &length) == 0);
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/check";
    operation_ = UpdateOperation::GetInstance();
    operation_->SetDelegate(&delegate_);
  }
  void TearDown() override {
    operation_->SetDelegate(nullptr);
    close(silent_);
  }

  // Sends the check with parameters |json|, where "URL" stands for the silent port's address.
  int Check(const std::string& json) {
    JsonValue parameters = Parse(std::regex_replace(json, std::regex("URL"), url_));
    return operation_->CheckUpdate(parameters);
  }
  // The remembered service URL once the store's writes so far have been made.
  std::string StoredUrl() {
    base::threading::LooperThread::FileLooper()->Flush();
    std::string url;
    operation_->storage()->GetConfiguration(kCgiUrlKey, url);
    return url;
  }
  void Answer(const std::string& text) {
    operation_->OnResponse(nullptr, 200, &text);
    Take(delegate_, &taken_);
  }
  static JsonValue Parse(const std::string& text) {
    JsonValue value;
    EXPECT_EQ(value.ParseFromJson(text.data(), text.size(), kParseMode, true), 0) << text;
    return value;
  }

  base::test::ScopedTempDir config_;
  const int silent_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string url_;
  UpdateOperation* operation_ = nullptr;
  update_test::RecordingDelegate delegate_;
  size_t taken_ = 0;
};

TEST_F(UpdateOperationTest, CheckParametersAreReadInOrderAndTheUrlIsRemembered) {
  // Refused for "from_where": nothing stored.  Refused for "enable_patch": the URL is stored.
  EXPECT_EQ(Check(R"({"app_from":"tavoriapp","from_where":"2","cgi_url":"URL"})"), 1);
  EXPECT_EQ(Check(R"({"app_from":"tavoriapp","from_where":2})"), 1);
  EXPECT_EQ(Check(R"({"app_from":"update_process","enable_patch":0})"), 5);
  EXPECT_EQ(StoredUrl(), "");
  EXPECT_EQ(Check(R"({"app_from":"tavoriapp","from_where":2,"cgi_url":"URL","enable_patch":1.5})"),
            1);
  EXPECT_EQ(StoredUrl(), url_);
  EXPECT_EQ(Check(R"({"app_from":"update_process","enable_patch":0})"), 0);
  EXPECT_EQ(Check(R"({"enable_patch":0})"), 1);

  // Checks faster than the store: while the file looper is held, many checks queue one write,
  // ahead of anything posted after the first check, and it records the last URL.
  const std::shared_ptr<base::threading::LooperThread> looper =
      base::threading::LooperThread::FileLooper();
  std::promise<void> release;
  looper->PostTask([held = release.get_future().share()] { held.wait(); }, FROM_HERE);
  std::string seen;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(Check(R"({"app_from":"tavoriapp","from_where":2,"cgi_url":"URL?n=)" +
                    std::to_string(i) + R"(","enable_patch":0})"),
              0);
    if (i == 0) {
      looper->PostTask([&] { operation_->storage()->GetConfiguration(kCgiUrlKey, seen); },
                       FROM_HERE);
    }
  }
  release.set_value();
  EXPECT_EQ(StoredUrl(), url_ + "?n=49");
  EXPECT_EQ(seen, url_ + "?n=49");
}

TEST_F(UpdateOperationTest, AnswersByCallerAndPolicy) {
  struct Case {
    const char* app_from;
    int status;
    const char* answer;  // null: no text at all
    std::vector<std::string> events;
  } cases[] = {
      {"tavoriapp", 200, R"({"upgrade_policy":1})", {"cgi_response 0"}},
      {"tavoriapp", 200, R"({"upgrade_policy":4294967298})", {"cgi_response 0"}},  // 2
      {"tavoriapp", 404, R"({"upgrade_policy":0})", {}},
      {"tavoriapp", 200, nullptr, {}},
      {"tavoriapp", 200, "", {}},
      {"tavoriapp", 200, "not json", {}},
      {"tavoriapp", 200, R"({"upgrade_policy":"2"})", {}},
      {"tavoriapp", 200, R"({"upgrade_policy":9})", {}},
      {"update_process", 200, R"({"upgrade_policy":9})", {"update_finished"}},
      {"update_process", 200, R"({"upgrade_policy":"0"})", {}},
      {"update_process", 200, R"({"upgrade_policy":0,"version":1})", {"update_finished"}},
      // Installed silently already: the run ends, no download.
      {"update_process", 200, R"({"upgrade_policy":2,"version":"0.0.0.1"})", {"update_finished"}},
      {"someone", 200, R"({"upgrade_policy":1})", {}},
  };
  operation_->storage()->SetUpdateConfig(kCgiUrlKey, url_);
  // The machine's registry stand-in holds the silently installed version.
  std::filesystem::create_directories(config_.Child("registry"));
  std::ofstream(config_.Child("registry/HKEY_LOCAL_MACHINE.reg"))
      << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\r\n"
      << R"("SilentInstallVersion"="1.0.0.0")"
      << "\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.app_from) + " " + (c.answer != nullptr ? c.answer : "null"));
    ASSERT_EQ(Check(std::string(R"({"from_where":2,"cgi_url":"URL","enable_patch":0,)") +
                    R"("app_from":")" + c.app_from + "\"}"),
              0);
    const std::string text = c.answer != nullptr ? c.answer : "";
    operation_->OnResponse(nullptr, c.status, c.answer != nullptr ? &text : nullptr);
    EXPECT_EQ(Take(delegate_, &taken_), c.events);
  }
  // An answer when no check is outstanding any more is still delivered, with err_code 1.
  ASSERT_EQ(Check(R"({"app_from":"tavoriapp","from_where":2,"cgi_url":"URL","enable_patch":0})"),
            0);
  Answer(R"({"upgrade_policy":1})");
  const std::string again = R"({"upgrade_policy":1})";
  operation_->OnResponse(nullptr, 200, &again);
  EXPECT_EQ(Take(delegate_, &taken_), std::vector<std::string>{"cgi_response 1"});
}

TEST_F(UpdateOperationTest, CheckUrlCarriesOriginVersionAndPatch) {
  namespace fs = std::filesystem;
  const fs::path flag = config_.path() + "/windows/Temp/tavori/update/error_flag";
  struct Case {
    std::string app_from;
    int from_where;
    int enable_patch;
    int flag;            // 0 absent, 1 a file, 2 a directory
    std::string origin;  // expected "&from=" parameter, or ""
    std::string patch;   // expected enable_patch value
  } cases[] = {
      {"tavoriapp", 3, 0, 0, "&from=1", "0"},
      {"tavoriapp", 2, 0, 0, "", "0"},
      {"tavoriapp", 1, 0, 0, "&from=2", "0"},
      {"tavoriapp", 4, 0, 0, "&from=2", "0"},
      {"tavoriapp", 5, 0, 0, "&from=2", "0"},
      {"tavoriapp", -1, 0, 0, "", "0"},
      {"tavoriapp", 2, 1, 0, "", "1"},
      {"tavoriapp", 2, 1, 1, "", "0"},
      {"tavoriapp", 2, 1, 2, "", "0"},
      {"tavoriapp", 2, 7, 1, "", "7"},
      {"update_process", 2, 1, 0, "&from=1", "1"},
  };
  operation_->storage()->SetUpdateConfig(kCgiUrlKey, url_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app_from + " " + std::to_string(c.from_where) + " " + std::to_string(c.flag));
    fs::remove_all(flag);
    fs::create_directories(c.flag == 2 ? flag : flag.parent_path());
    if (c.flag == 1) {
      std::ofstream(flag) << "1";
    }
    ASSERT_EQ(Check(R"({"cgi_url":"URL","enable_patch":0,"from_where":)" +
                    std::to_string(c.from_where) + R"(,"app_from":")" + c.app_from + "\"}"),
              0);
    std::string url;
    ASSERT_EQ(operation_->BuildCGIUrl(&url, "http://s/c?x=1", c.enable_patch), 0);
    EXPECT_TRUE(std::regex_match(url, std::regex(R"(http://s/c\?x=1&time=\d{13})" + c.origin +
                                                 "&appver=[0-9.]+&enable_patch=" + c.patch)))
        << url;
  }
}

TEST_F(UpdateOperationTest, WindowsDirectoryBeyondMaxPathMeansNoPatch) {
  setenv("TAVORI_SYSTEM_ROOT", ("/" + std::string(300, 'r')).c_str(), 1);
  base::test::ScopedLogCapture capture;
  EXPECT_EQ(UpdateOperation::GetDeltaUpdateErrorFlag(), 0);
  EXPECT_TRUE(capture.Contains("GetWindowsDirectoryW failed, error:122"));
}

TEST_F(UpdateOperationTest, DownloadRefusesAnswersWithoutAUsablePackage) {
  JsonValue none(base::json::JsonType::kObject);
  EXPECT_EQ(operation_->DownloadPackage(none), 8);  // no answer yet
  ASSERT_EQ(Check(R"({"app_from":"tavoriapp","from_where":2,"cgi_url":"URL","enable_patch":0})"),
            0);
  for (const char* answer : {
           R"({"upgrade_policy":2,"size":"1","md5":"m","package_url":"http://h/p.exe"})",
           R"({"upgrade_policy":2,"size":1,"md5":5,"package_url":"http://h/p.exe"})",
           R"({"upgrade_policy":2,"size":1,"md5":"m","package_url":5})",
           R"({"upgrade_policy":2,"size":1,"md5":"m","package_url":"a.b"})",
           R"({"upgrade_policy":2,"size":1,"md5":"m","package_url":"http://h/dir/x/"})",
           R"({"upgrade_policy":2,"size":1,"md5":"m","package_url":"http://h/a/.."})",
           R"({"upgrade_policy":2,"size":1,"md5":"m","package_url":"http://h/a\\exe"})",
       }) {
    SCOPED_TRACE(answer);
    Answer(answer);
    EXPECT_EQ(operation_->DownloadPackage(none), 9);
  }
}

}  // namespace
}  // namespace UpdateLib
