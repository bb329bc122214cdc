#include "tavorisdk/cgi_service.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "base/test/temp_dir.h"
#include "src/curl_common.h"
#include "src/network_thread.h"
#include "tavorisdk/download_service.h"
#include "tavorisdk/test/recording_delegates.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"
#include "util/time/time_util.h"

namespace tavorisdk {
namespace {

using namespace std::chrono_literals;
using test::CgiAnswer;
using test::FlushNetworkThread;
using test::PlannedAnswer;
using test::RecordingCGIDelegate;
using test::ScriptedServer;

constexpr auto kWait = 60s;

ICGIService* Service() {
  ICGIService* service = nullptr;
  EXPECT_EQ(QueryCGIService(&service), 0);
  return service;
}

std::unique_ptr<ICGIRequest> Send(const std::string& url, ICGIResponseDelegate* delegate,
                                  int options = kCGIOptionNoCache) {
  auto request = CreateCGIRequest();
  request->SetRequestUrl(url.c_str())->SetRequestOption(options);
  EXPECT_EQ(Service()->SendRequest(request.get(), delegate), 0);
  return request;
}

class CgiServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { internal::SetRetryBaseDelayForTesting(10ms); }
  ScriptedServer server_;
};

PlannedAnswer Redirect(const std::string& to) {
  PlannedAnswer redirect = test::Respond(302);
  redirect.headers = {{"Location", to}};
  return redirect;
}

PlannedAnswer Faulty(std::string body, size_t cut_after, bool stall_before_headers = false) {
  PlannedAnswer answer = test::Respond(200, std::move(body));
  answer.cut_after = cut_after;
  answer.stall_before_headers = stall_before_headers;
  return answer;
}

// Each answer comes once, on the network thread, with the final status or a transport code;
// transient failures are retried unless the request says not to.
TEST_F(CgiServiceTest, AnswersCarryTheFinalStatusOrATransportCode) {
  const struct {
    const char* name;
    std::vector<PlannedAnswer> plan;  // for "/c", in order
    int32_t status;
    std::optional<std::string> body;  // none: no body expected
    size_t requests;
    struct {
      int options = kCGIOptionNoCache;
      int retries = 0;  // retry notifications expected
      std::function<void(ICGIRequestSettings&)> configure = nullptr;
      const char* url = nullptr;  // instead of the server's "/c"
    } with = {};
  } cases[] = {
      {"200", {test::Respond(200, R"({"a":1})")}, 200, R"({"a":1})", 1},
      {"404 with its body", {test::Respond(404, "gone")}, 404, "gone", 1},
      {"503 is retried",
       {test::Respond(503), test::Respond(200, "late")},
       200,
       "late",
       2,
       {.retries = 1}},
      {"503 without retries",
       {test::Respond(503, "busy")},
       503,
       "busy",
       1,
       {.options = kCGIOptionNoRetry}},
      {"redirect followed", {Redirect("/final")}, 200, "there", 2},
      {"redirect loop", std::vector<PlannedAnswer>(20, Redirect("/c")), kCGIStatusTooManyRedirects,
       std::nullopt, 11},
      {"too large",
       {test::Respond(200, std::string(1000, 'x'))},
       kCGIStatusResponseTooLarge,
       std::nullopt,
       1,
       {.configure = [](ICGIRequestSettings& r) { r.SetMaxResponseBytes(999); }}},
      {"exactly the limit",
       {test::Respond(200, std::string(999, 'x'))},
       200,
       std::string(999, 'x'),
       1,
       {.configure = [](ICGIRequestSettings& r) { r.SetMaxResponseBytes(999); }}},
      {"stall until the timeout",
       {Faulty("never", test::kNever, true)},
       kCGIStatusTimeout,
       std::nullopt,
       1,
       {.configure = [](ICGIRequestSettings& r) { r.SetTimeoutSeconds(1); }}},
      {"cut in the body",
       {Faulty(std::string(5000, 'y'), 100)},
       kCGIStatusNetworkError,
       std::nullopt,
       1,
       {.options = kCGIOptionNoRetry}},
      {"cut, then retried",
       {Faulty(std::string(5000, 'y'), 100), test::Respond(200, "whole")},
       200,
       "whole",
       2,
       {.retries = 1}},
      {"connection refused",
       {},
       kCGIStatusNetworkError,
       std::nullopt,
       0,
       {.retries = 2, .url = "http://127.0.0.1:1/c"}},
      // Answered later, never from inside the call.
      {"no URL", {}, kCGIStatusBadRequest, std::nullopt, 0, {.url = ""}},
      {"another scheme", {}, kCGIStatusBadRequest, std::nullopt, 0, {.url = "ftp://127.0.0.1/x"}},
      {"malformed URL", {}, kCGIStatusBadRequest, std::nullopt, 0, {.url = "http://[::1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    for (const PlannedAnswer& answer : c.plan) {
      server.Plan("/c", answer);
    }
    server.Plan("/final", test::Respond(200, "there"));
    RecordingCGIDelegate delegate;
    auto request = CreateCGIRequest();
    const std::string url = c.with.url != nullptr ? c.with.url : server.Url("/c");
    ICGIRequestSettings* settings = request->SetRequestUrl(url.c_str());
    EXPECT_EQ(request->GetRequestUrl(), url);
    settings->SetRequestOption(c.with.options);
    if (c.with.configure) {
      c.with.configure(*settings);
    }
    ASSERT_EQ(Service()->SendRequest(request.get(), &delegate), 0);
    ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
    ASSERT_TRUE(FlushNetworkThread());
    const auto answers = delegate.Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].request, request.get());
    EXPECT_EQ(answers[0].status, c.status);
    EXPECT_EQ(answers[0].body, c.body);
    EXPECT_NE(answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(server.RequestCount(), c.requests);
    EXPECT_EQ(delegate.retries.load(), c.with.retries);
    EXPECT_EQ(delegate.sent.load(), c.requests > 0 ? 1 : 0);
  }
}

TEST_F(CgiServiceTest, MisuseIsRefusedAtOnce) {
  RecordingCGIDelegate delegate;
  EXPECT_EQ(Service()->SendRequest(nullptr, &delegate), kCGIStatusBadRequest);
  auto request = CreateCGIRequest();
  EXPECT_EQ(Service()->SendRequest(request.get(), nullptr), kCGIStatusBadRequest);
  EXPECT_EQ(QueryCGIService(nullptr), kCGIStatusBadRequest);
  EXPECT_EQ(Service(), Service());
}

TEST_F(CgiServiceTest, OptionsAndHeadersReachTheServer) {
  server_.SetDefault("/c", test::Respond(200, "ok"));
  RecordingCGIDelegate delegate;
  auto plain = Send(server_.Url("/c?x=1&y=2"), &delegate, 0);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  auto request = CreateCGIRequest();
  ICGIRequestSettings* settings = request->SetRequestUrl(server_.Url("/c").c_str());
  settings->SetRequestOption(kCGIOptionNoCache | kCGIOptionCompressed);
  settings->AddHeader("X-Token", "42");
  ASSERT_EQ(Service()->SendRequest(request.get(), &delegate), 0);
  ASSERT_TRUE(delegate.WaitForAnswers(2, kWait));
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/c?x=1&y=2");
  EXPECT_EQ(requests[0].Header("cache-control"), "");
  EXPECT_EQ(requests[0].Header("accept-encoding"), "");
  EXPECT_TRUE(requests[0].Header("user-agent").starts_with("TavoriSDK/"));
  EXPECT_EQ(requests[1].Header("cache-control"), "no-cache");
  EXPECT_EQ(requests[1].Header("pragma"), "no-cache");
  EXPECT_NE(requests[1].Header("accept-encoding").find("gzip"), std::string::npos);
  EXPECT_EQ(requests[1].Header("x-token"), "42");
}

// Destroyed while the server holds the answer, and destroyed before the network thread even
// started the transfer: neither is answered; a later request is.
TEST_F(CgiServiceTest, DestroyingARequestBeforeItsAnswerCancelsIt) {
  server_.SetDefault("/c", Faulty("late", test::kNever, true));
  RecordingCGIDelegate delegate;
  auto waiting = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  waiting.reset();
  Send(server_.Url("/c"), &delegate).reset();
  server_.ReleaseStalls();
  ASSERT_TRUE(FlushNetworkThread());
  server_.SetDefault("/c", test::Respond(200, "now"));
  auto later = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  ASSERT_TRUE(FlushNetworkThread());
  const auto answers = delegate.Answers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].request, later.get());
}

// As the library does: an answer destroys its own request and sends the next check, the last
// one starts a download.
TEST_F(CgiServiceTest, EveryCallWorksFromInsideAnAnswer) {
  server_.SetDefault("/c", test::Respond(200, "check"));
  server_.Serve("/pkg", "package");
  base::test::ScopedTempDir dir;
  RecordingCGIDelegate delegate;
  test::RecordingDownloadDelegate download_delegate;
  std::unique_ptr<ICGIRequest> current;  // set before each send, so that the answer may read it
  std::unique_ptr<DownloadServiceRequest> download;
  delegate.on_answer = [&](ICGIRequest* request, const CgiAnswer&) {
    EXPECT_EQ(request, current.get());
    current.reset();
    if (delegate.Answers().size() < 3) {
      current = Send(server_.Url("/c"), &delegate);
      return;
    }
    download = CreateDownloadRequest();
    download->SetUrl(server_.Url("/pkg").c_str());
    download->SetSavePath(dir.Child("pkg").c_str());
    download->SetMd5(util::crypto::Md5("package").c_str());
    download->SetFileSize(7);
    download->Start(&download_delegate);
  };
  current = CreateCGIRequest();
  current->SetRequestUrl(server_.Url("/c").c_str());
  ASSERT_EQ(Service()->SendRequest(current.get(), &delegate), 0);
  ASSERT_TRUE(download_delegate.WaitForFinish(kWait));
  EXPECT_EQ(download_delegate.Finish()->error, kDownloadOk);
  EXPECT_EQ(delegate.Answers().size(), 3u);
  EXPECT_EQ(current, nullptr);
  download.reset();
}

TEST_F(CgiServiceTest, ManyRequestsFromSeveralThreadsAreEachAnsweredOnce) {
  server_.SetDefault("/c", test::Respond(200, "ok"));
  RecordingCGIDelegate delegate;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 10;
  std::vector<std::unique_ptr<ICGIRequest>> requests(kThreads * kPerThread);
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        requests[t * kPerThread + i] = Send(server_.Url("/c"), &delegate);
      }
    });
  }
  for (std::thread& t : senders) {
    t.join();
  }
  ASSERT_TRUE(delegate.WaitForAnswers(requests.size(), kWait));
  ASSERT_TRUE(FlushNetworkThread());
  std::set<ICGIRequest*> answered;
  std::set<std::thread::id> threads;
  for (const CgiAnswer& answer : delegate.Answers()) {
    EXPECT_EQ(answer.status, 200);
    answered.insert(answer.request);
    threads.insert(answer.thread);
  }
  EXPECT_EQ(answered.size(), requests.size());
  EXPECT_EQ(delegate.Answers().size(), requests.size());
  EXPECT_EQ(threads.size(), 1u);
}

TEST_F(CgiServiceTest, TlsIsVerifiedAgainstTheConfiguredBundle) {
  base::test::ScopedTempDir dir;
  const test::TlsFiles tls = test::MakeSelfSignedTls(dir.path());
  ScriptedServer server(&tls);
  server.SetDefault("/c", test::Respond(200, "secret"));
  RecordingCGIDelegate delegate;
  // The system store does not know the test certificate; a start-up record names it as the
  // bundle.
  auto untrusted = Send(server.Url("/c"), &delegate, kCGIOptionNoRetry);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  const SDKStartupParam saved = internal::StartupParams();
  SDKStartupParam params = saved;
  params.ca_bundle_path = tls.certificate_path;
  internal::SetStartupParams(params);
  auto trusted = Send(server.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(2, kWait));
  internal::SetStartupParams(saved);
  const auto answers = delegate.Answers();
  EXPECT_EQ(answers[0].status, kCGIStatusTlsError);
  EXPECT_EQ(answers[1].status, 200);
  EXPECT_EQ(answers[1].body, "secret");
}

// The answer's Date tells how far the servers' clock is from ours; a Date in another form
// changes nothing.
TEST_F(CgiServiceTest, AnAnswersDateSetsTheServerClockOffset) {
  for (const char* date : {"Thu, 01 Jan 1970 00:00:10 GMT", "Thursday, 01-Jan-70 00:00:20 GMT"}) {
    PlannedAnswer dated = test::Respond(200, "ok");
    dated.headers = {{"Date", date}};
    server_.Plan("/c", dated);
  }
  const auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  RecordingCGIDelegate delegate;
  const int64_t before = now_ms();
  auto first = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  const int64_t offset = util::time::GetServerTimeOffset();
  EXPECT_LE(offset, 10000 - before);
  EXPECT_GE(offset, 10000 - now_ms());
  auto second = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(2, kWait));
  EXPECT_EQ(util::time::GetServerTimeOffset(), offset);
  util::time::SetServerTimeOffset(0);
}

}  // namespace
}  // namespace tavorisdk
