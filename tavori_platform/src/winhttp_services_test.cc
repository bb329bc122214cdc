// The SDK's services on WinHTTP, run under Wine against a Winsock server on 127.0.0.1 that this
// test starts: downloads whole, cut and resumed, of the wrong size or MD5, stopped from inside a
// notification and resumed, the partial file held for the whole job, and check requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "src/cgi_transfer.h"
#include "src/download_file_win.h"
#include "src/retry_policy.h"
#include "tavorisdk/cgi_service.h"
#include "tavorisdk/download_service.h"
#include "tavorisdk/test/loopback_server_win.h"
#include "tavorisdk/test/recording_delegates.h"
#include "util/crypto/crypto.h"

namespace tavorisdk {
namespace {

using namespace std::chrono_literals;
using test::DownloadEvent;
using test::LoopbackServer;
using test::RecordingCGIDelegate;
using test::RecordingDownloadDelegate;

constexpr auto kWait = 60s;

std::string RandomBody(size_t size) {
  std::mt19937 random(7);
  std::string body(size, '\0');
  for (char& c : body) {
    c = static_cast<char>(random());
  }
  return body;
}

class WinHttpServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    internal::SetRetryBaseDelayForTesting(10ms);
    dir_ = std::filesystem::temp_directory_path() /
           ("tavori-winhttp-" + std::to_string(GetCurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    server_.Serve("/pkg.exe", LoopbackServer::Make(200, body_, "\"v1\""));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<DownloadServiceRequest> Make(const std::string& target, int64_t size,
                                               const std::string& md5) {
    auto request = CreateDownloadRequest();
    request->SetUrl(server_.Url("/pkg.exe").c_str());
    request->SetSavePath(target.c_str());
    request->SetMd5(md5.c_str());
    request->SetFileSize(size);
    return request;
  }
  std::string Target(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  const std::string body_ = RandomBody(1 << 20);
  std::filesystem::path dir_;
  LoopbackServer server_;
};

TEST_F(WinHttpServicesTest, DownloadsAreVerifiedAndResumedAfterACut) {
  struct Case {
    const char* name;
    size_t cut;
    int64_t size_delta;
    bool wrong_md5;
    const char* private_root;  // below the test's directory; the target lies in "root/a/b"
    int32_t error;
  };
  for (const Case& c : {
           Case{"whole", std::string::npos, 0, false, nullptr, kDownloadOk},
           Case{"cut", 300000, 0, false, nullptr, kDownloadOk},
           Case{"size", std::string::npos, 1, false, nullptr, kDownloadErrorSizeMismatch},
           Case{"md5", std::string::npos, 0, true, nullptr, kDownloadErrorMd5Mismatch},
           Case{"private", std::string::npos, 0, false, "private", kDownloadOk},
           Case{"outside", std::string::npos, 0, false, "private\\a\\other",
                kDownloadErrorBadRequest},
       }) {
    SCOPED_TRACE(c.name);
    const size_t before = server_.Requests().size();
    if (c.cut != std::string::npos) {
      server_.CutNext("/pkg.exe", c.cut);
    }
    const std::string target = c.private_root != nullptr
                                   ? Target(std::string("private\\a\\b\\") + c.name)
                                   : Target(c.name);
    RecordingDownloadDelegate delegate;
    auto request = Make(target, static_cast<int64_t>(body_.size()) + c.size_delta,
                        util::crypto::Md5(c.wrong_md5 ? body_ + "x" : body_));
    if (c.private_root != nullptr) {
      request->SetPrivateRoot(Target(c.private_root).c_str());
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_EQ(delegate.Finish()->path, target);
    EXPECT_EQ(std::filesystem::exists(target), c.error == kDownloadOk);
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
    if (c.error == kDownloadOk) {
      EXPECT_EQ(Contents(target), body_);
      const std::vector<DownloadEvent> events = delegate.All();
      EXPECT_EQ(events.front().kind, DownloadEvent::kStart);
      EXPECT_EQ(events[events.size() - 2].received, static_cast<int64_t>(body_.size()));
      EXPECT_NE(events.back().thread, std::this_thread::get_id());
    }
    const std::vector<std::string> requests = server_.Requests();
    if (c.cut != std::string::npos) {
      // The retry asks for the rest, for the same version only.
      ASSERT_EQ(requests.size(), before + 2);
      EXPECT_EQ(delegate.Of(DownloadEvent::kRetry).size(), 1u);
      EXPECT_NE(requests.back().find("\r\nrange: bytes="), std::string::npos);
      EXPECT_NE(requests.back().find("\r\nif-range: \"v1\""), std::string::npos);
    }
  }
}

TEST_F(WinHttpServicesTest, StopFromInsideANotificationEndsTheDownloadQuietly) {
  for (const DownloadEvent::Kind kind : {DownloadEvent::kStart, DownloadEvent::kProgress}) {
    const std::string target = Target(kind == DownloadEvent::kStart ? "at-start" : "at-progress");
    RecordingDownloadDelegate delegate;
    auto request = Make(target, static_cast<int64_t>(body_.size()), util::crypto::Md5(body_));
    std::atomic<bool> stopped{false};
    delegate.on_event = [&](DownloadServiceRequest* r, const DownloadEvent& event) {
      if (event.kind == kind && !stopped.exchange(true)) {
        r->Stop(1);
      }
    };
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForEvent(kind, kWait));
    // A second download on the same network thread runs after the stop's cancellation.
    RecordingDownloadDelegate barrier;
    auto after =
        Make(Target("barrier"), static_cast<int64_t>(body_.size()), util::crypto::Md5(body_));
    after->Start(&barrier);
    ASSERT_TRUE(barrier.WaitForFinish(kWait));
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(delegate.Finish().has_value());
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(delegate.All().back().kind, kind);

    // What the stopped download kept is resumed by the next one, for the same version only.
    RecordingDownloadDelegate again;
    auto resumed = Make(target, static_cast<int64_t>(body_.size()), util::crypto::Md5(body_));
    resumed->Start(&again);
    ASSERT_TRUE(again.WaitForFinish(kWait));
    EXPECT_EQ(again.Finish()->error, kDownloadOk);
    EXPECT_EQ(Contents(target), body_);
    if (kind == DownloadEvent::kProgress) {
      EXPECT_NE(server_.Requests().back().find("\r\nif-range: \"v1\""), std::string::npos);
    }
  }
}

TEST_F(WinHttpServicesTest, APartialFileIsHeldUnsharedAndRenamedThroughItsHandle) {
  const std::string target = Target("held");
  const std::wstring part = (dir_ / "held.part").wstring();
  DWORD error = 0;
  auto file = internal::WinPartFile::CreateFresh(part, &error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_TRUE(internal::WinPartFile::IsHeldElsewhere(part));
  EXPECT_EQ(internal::WinPartFile::CreateFresh(part, &error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(part.c_str()));

  // A download of the same target while another job holds its partial file changes nothing.
  RecordingDownloadDelegate delegate;
  auto request = Make(target, static_cast<int64_t>(body_.size()), util::crypto::Md5(body_));
  request->Start(&delegate);
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  EXPECT_EQ(delegate.Finish()->error, kDownloadErrorLocalFile);
  EXPECT_TRUE(internal::WinPartFile::IsHeldElsewhere(part));

  ASSERT_TRUE(file->Write("abc", 3));
  EXPECT_EQ(file->Finish(), util::crypto::Md5(std::string("abc")));
  EXPECT_EQ(file->RenameTo((dir_ / "held").wstring()), 0u);
  file.reset();
  EXPECT_EQ(Contents(target), "abc");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "held.part"));
}

TEST_F(WinHttpServicesTest, CheckRequestsAnswerWithTheStatusAndBody) {
  server_.Serve("/check", LoopbackServer::Make(200, R"({"upgrade_policy":0})"));
  server_.Serve("/moved", LoopbackServer::Make(302, "", "", server_.Url("/check")));
  server_.Serve("/busy", LoopbackServer::Make(503, "later"));
  struct Case {
    std::string url;
    int32_t status;
    std::string body;
    int retries;
  };
  ICGIService* service = nullptr;
  ASSERT_EQ(QueryCGIService(&service), 0);
  for (const Case& c : {
           Case{server_.Url("/check"), 200, R"({"upgrade_policy":0})", 0},
           Case{server_.Url("/moved"), 200, R"({"upgrade_policy":0})", 0},
           Case{server_.Url("/missing"), 404, "nothing here", 0},
           Case{server_.Url("/busy"), 503, "later", internal::kMaxCgiRetries},
           Case{"http://127.0.0.1:1/check", kCGIStatusNetworkError, "", internal::kMaxCgiRetries},
           Case{"ftp://127.0.0.1/check", kCGIStatusBadRequest, "", 0},
       }) {
    SCOPED_TRACE(c.url);
    RecordingCGIDelegate delegate;
    auto request = CreateCGIRequest();
    request->SetRequestUrl(c.url.c_str())->SetRequestOption(kCGIOptionNoCache);
    ASSERT_EQ(service->SendRequest(request.get(), &delegate), 0);
    ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
    const test::CgiAnswer answer = delegate.All().front();
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body.has_value(), c.status > 0);
    EXPECT_EQ(answer.body.value_or(""), c.body);
    EXPECT_EQ(delegate.retries.load(), c.retries);
  }
  EXPECT_NE(server_.Requests().front().find("\r\ncache-control: no-cache"), std::string::npos);
}

}  // namespace
}  // namespace tavorisdk
