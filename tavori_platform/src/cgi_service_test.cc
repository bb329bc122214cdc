#include "tavorisdk/cgi_service.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "base/test/temp_dir.h"
#include "src/curl_common.h"
#include "src/network_thread.h"
#include "tavorisdk/test/recording_delegates.h"
#include "tavorisdk/test/scripted_server.h"
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

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class CgiServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { internal::SetRetryBaseDelayForTesting(10ms); }
  ScriptedServer server_;
};

// Each answer comes once, on the network thread, with the final status or a transport code;
// transient failures are retried unless the request says not to.  Every request carries the
// options and headers it was given.
TEST_F(CgiServiceTest, AnswersCarryTheFinalStatusOrATransportCode) {
  struct Case {
    const char* name;
    std::vector<PlannedAnswer> plan;  // for "/c", in order
    int32_t status;
    std::optional<std::string> body;  // none: no body expected
    size_t requests;
    struct {
      int options = kCGIOptionNoCache;
      int retries = 0;  // retry notifications expected
      size_t max_bytes = 0;
      int timeout = 0;
      const char* path = "/c";    // on the server
      const char* url = nullptr;  // instead of the server's
      int64_t date_s = 0;         // the answer's Date, seconds after 1970; 0: no offset
    } with = {};
  };
  constexpr int kNoRetry = kCGIOptionNoRetry;
  constexpr int kZipped = kCGIOptionNoCache | kCGIOptionCompressed;
  const std::string x999(999, 'x');
  const std::vector<PlannedAnswer> loop(20, {.status = 302, .headers = {{"Location", "/c"}}});
  const PlannedAnswer stall{.body = "never", .stall_before_headers = true};
  // The answer's Date tells how far the servers' clock is from ours; a Date in another form
  // changes nothing.
  const PlannedAnswer dated{.headers = {{"Date", "Thu, 01 Jan 1970 00:00:10 GMT"}}, .body = "ok"};
  const PlannedAnswer old_date{.headers = {{"Date", "Thursday, 01-Jan-70 00:00:20 GMT"}}};
  const Case cases[] = {
      {"200", {{.body = "{}"}}, 200, "{}", 1, {.options = kZipped, .path = "/c?x=1&y=2"}},
      {"404 with its body", {{.status = 404, .body = "gone"}}, 404, "gone", 1},
      {"503 is retried", {{.status = 503}, {.body = "late"}}, 200, "late", 2, {.retries = 1}},
      {"503 without retries", {{.status = 503, .body = "busy"}}, 503, "busy", 1, {kNoRetry}},
      {"redirect followed", {{.status = 302, .headers = {{"Location", "/to"}}}}, 200, "there", 2},
      {"redirect loop", loop, kCGIStatusTooManyRedirects, std::nullopt, 11},
      {"exactly the limit", {{.body = x999}}, 200, x999, 1, {.max_bytes = 999}},
      {"stalled until the timeout", {stall}, kCGIStatusTimeout, {}, 1, {.timeout = 1}},
      {"dated", {dated}, 200, "ok", 1, {.date_s = 10}},
      {"dated in an obsolete form", {old_date}, 200, "", 1},
      // Answered later, never from inside the call.
      {"no URL", {}, kCGIStatusBadRequest, {}, 0, {.url = ""}},
      {"another scheme", {}, kCGIStatusBadRequest, {}, 0, {.url = "ftp://127.0.0.1/x"}},
      {"malformed URL", {}, kCGIStatusBadRequest, {}, 0, {.url = "http://[::1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    for (const PlannedAnswer& answer : c.plan) {
      server.Plan("/c", answer);
    }
    server.Plan("/to", test::Respond(200, "there"));
    RecordingCGIDelegate delegate;
    auto request = CreateCGIRequest();
    const std::string url = c.with.url != nullptr ? c.with.url : server.Url(c.with.path);
    ICGIRequestSettings* settings = request->SetRequestUrl(url.c_str());
    EXPECT_EQ(request->GetRequestUrl(), url);
    settings->SetRequestOption(c.with.options);
    settings->AddHeader("X-Token", "42");
    if (c.with.max_bytes > 0) {
      settings->SetMaxResponseBytes(c.with.max_bytes);
    }
    if (c.with.timeout > 0) {
      settings->SetTimeoutSeconds(c.with.timeout);
    }
    const int64_t before = NowMs();
    ASSERT_EQ(Service()->SendRequest(request.get(), &delegate), 0);
    ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
    const int64_t offset = util::time::GetServerTimeOffset();
    EXPECT_LE(offset, c.with.date_s > 0 ? c.with.date_s * 1000 - before : 0);
    EXPECT_GE(offset, c.with.date_s > 0 ? c.with.date_s * 1000 - NowMs() : 0);
    util::time::SetServerTimeOffset(0);
    ASSERT_TRUE(FlushNetworkThread());
    const auto answers = delegate.All();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].request, request.get());
    EXPECT_EQ(answers[0].status, c.status);
    EXPECT_EQ(answers[0].body, c.body);
    EXPECT_NE(answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(server.RequestCount(), c.requests);
    for (const test::RecordedRequest& sent : server.Requests()) {
      const bool no_cache = (c.with.options & kCGIOptionNoCache) != 0;
      EXPECT_EQ(sent.Header("cache-control"), no_cache ? "no-cache" : "");
      EXPECT_EQ(sent.Header("pragma"), no_cache ? "no-cache" : "");
      EXPECT_EQ(sent.Header("accept-encoding").find("gzip") != std::string::npos,
                (c.with.options & kCGIOptionCompressed) != 0);
      EXPECT_TRUE(sent.Header("user-agent").starts_with("TavoriSDK/"));
      EXPECT_EQ(sent.Header("x-token"), "42");
    }
    if (c.requests > 0) {
      EXPECT_EQ(server.Requests()[0].target, c.with.path);
    }
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

// Destroyed while the server holds the answer, and destroyed before the network thread even
// started the transfer: neither is answered; a later request is.
TEST_F(CgiServiceTest, DestroyingARequestBeforeItsAnswerCancelsIt) {
  server_.SetDefault("/c", {.body = "late", .stall_before_headers = true});
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
  const auto answers = delegate.All();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].request, later.get());
}

TEST_F(CgiServiceTest, ManyRequestsFromSeveralThreadsAreEachAnsweredOnce) {
  server_.SetDefault("/c", test::Respond(200, "ok"));
  RecordingCGIDelegate delegate;
  std::vector<std::unique_ptr<ICGIRequest>> requests(40);
  std::vector<std::thread> senders;
  for (size_t t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (size_t i = t; i < requests.size(); i += 4) {
        requests[i] = Send(server_.Url("/c"), &delegate);
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
  for (const CgiAnswer& answer : delegate.All()) {
    EXPECT_EQ(answer.status, 200);
    answered.insert(answer.request);
    threads.insert(answer.thread);
  }
  EXPECT_EQ(answered.size(), requests.size());
  EXPECT_EQ(delegate.All().size(), requests.size());
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
  const auto answers = delegate.All();
  EXPECT_EQ(answers[0].status, kCGIStatusTlsError);
  EXPECT_EQ(answers[1].status, 200);
  EXPECT_EQ(answers[1].body, "secret");
}

}  // namespace
}  // namespace tavorisdk
