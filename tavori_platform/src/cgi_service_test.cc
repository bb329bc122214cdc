#include "tavorisdk/cgi_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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
using test::PlannedAnswer;
using test::RecordingCGIDelegate;
using test::RecordingDownloadDelegate;
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

// Waits until every task posted to the network thread before it has run.
void FlushNetworkThread() {
  std::mutex mu;
  std::condition_variable cv;
  bool ran = false;
  internal::NetworkThread::Get().PostTask([&] {
    std::lock_guard<std::mutex> lock(mu);
    ran = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mu);
  ASSERT_TRUE(cv.wait_for(lock, kWait, [&] { return ran; }));
}

class CgiServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { internal::SetRetryBaseDelayForTesting(10ms); }
  ScriptedServer server_;
};

struct AnswerCase {
  const char* name;
  std::function<void(ScriptedServer&)> plan;
  std::function<void(ICGIRequestSettings&)> configure;
  int32_t status;
  std::optional<std::string> body;  // none: no body expected
  size_t requests;
  int options = kCGIOptionNoCache;
  int retries = 0;  // retry notifications expected
};

TEST_F(CgiServiceTest, AnswersCarryTheFinalStatusOrATransportCode) {
  const AnswerCase cases[] = {
      {"200", [](ScriptedServer& s) { s.Plan("/c", test::Respond(200, R"({"a":1})")); }, nullptr,
       200, R"({"a":1})", 1},
      {"404 with its body", [](ScriptedServer& s) { s.Plan("/c", test::Respond(404, "gone")); },
       nullptr, 404, "gone", 1},
      {"503 is retried",
       [](ScriptedServer& s) {
         s.Plan("/c", test::Respond(503));
         s.Plan("/c", test::Respond(200, "late"));
       },
       nullptr, 200, "late", 2, kCGIOptionNoCache, 1},
      {"503 without retries", [](ScriptedServer& s) { s.Plan("/c", test::Respond(503, "busy")); },
       nullptr, 503, "busy", 1, kCGIOptionNoRetry},
      {"redirect followed",
       [](ScriptedServer& s) {
         PlannedAnswer redirect = test::Respond(302);
         redirect.headers = {{"Location", "/final"}};
         s.Plan("/c", redirect);
         s.Plan("/final", test::Respond(200, "there"));
       },
       nullptr, 200, "there", 2},
      {"redirect loop",
       [](ScriptedServer& s) {
         PlannedAnswer redirect = test::Respond(302);
         redirect.headers = {{"Location", "/c"}};
         s.SetDefault("/c", redirect);
       },
       nullptr, kCGIStatusTooManyRedirects, std::nullopt, 11},
      {"too large",
       [](ScriptedServer& s) { s.Plan("/c", test::Respond(200, std::string(1000, 'x'))); },
       [](ICGIRequestSettings& r) { r.SetMaxResponseBytes(999); }, kCGIStatusResponseTooLarge,
       std::nullopt, 1},
      {"exactly the limit",
       [](ScriptedServer& s) { s.Plan("/c", test::Respond(200, std::string(999, 'x'))); },
       [](ICGIRequestSettings& r) { r.SetMaxResponseBytes(999); }, 200, std::string(999, 'x'), 1},
      {"stall until the timeout",
       [](ScriptedServer& s) {
         PlannedAnswer stall = test::Respond(200, "never");
         stall.stall_before_headers = true;
         s.Plan("/c", stall);
       },
       [](ICGIRequestSettings& r) { r.SetTimeoutSeconds(1); }, kCGIStatusTimeout, std::nullopt, 1},
      {"cut in the body",
       [](ScriptedServer& s) {
         PlannedAnswer cut = test::Respond(200, std::string(5000, 'y'));
         cut.cut_after = 100;
         s.Plan("/c", cut);
       },
       nullptr, kCGIStatusNetworkError, std::nullopt, 1, kCGIOptionNoRetry},
      {"cut, then retried",
       [](ScriptedServer& s) {
         PlannedAnswer cut = test::Respond(200, std::string(5000, 'y'));
         cut.cut_after = 100;
         s.Plan("/c", cut);
         s.Plan("/c", test::Respond(200, "whole"));
       },
       nullptr, 200, "whole", 2, kCGIOptionNoCache, 1},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    c.plan(server);
    RecordingCGIDelegate delegate;
    auto request = CreateCGIRequest();
    ICGIRequestSettings* settings = request->SetRequestUrl(server.Url("/c").c_str());
    settings->SetRequestOption(c.options);
    if (c.configure) {
      c.configure(*settings);
    }
    ASSERT_EQ(Service()->SendRequest(request.get(), &delegate), 0);
    ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
    FlushNetworkThread();
    const auto answers = delegate.Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].request, request.get());
    EXPECT_EQ(answers[0].status, c.status);
    EXPECT_EQ(answers[0].has_body, c.body.has_value());
    EXPECT_EQ(answers[0].body, c.body.value_or(""));
    EXPECT_NE(answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(server.RequestCount(), c.requests);
    EXPECT_EQ(delegate.RetryCount(), c.retries);
    server.ReleaseStalls();
  }
}

TEST_F(CgiServiceTest, BadRequestsAreRefusedOrAnsweredLater) {
  RecordingCGIDelegate delegate;
  EXPECT_EQ(Service()->SendRequest(nullptr, &delegate), kCGIStatusBadRequest);
  auto request = CreateCGIRequest();
  EXPECT_EQ(Service()->SendRequest(request.get(), nullptr), kCGIStatusBadRequest);
  EXPECT_EQ(QueryCGIService(nullptr), kCGIStatusBadRequest);
  EXPECT_EQ(Service(), Service());

  // No URL, a URL of another scheme, a malformed URL: answered later, never
  // from inside the call.
  std::vector<std::unique_ptr<ICGIRequest>> requests;
  for (const char* url : {"", "ftp://127.0.0.1/x", "http://[::1"}) {
    SCOPED_TRACE(url);
    auto r = CreateCGIRequest();
    r->SetRequestUrl(url);
    EXPECT_EQ(r->GetRequestUrl(), url);
    EXPECT_EQ(Service()->SendRequest(r.get(), &delegate), 0);
    requests.push_back(std::move(r));
  }
  ASSERT_TRUE(delegate.WaitForAnswers(3, kWait));
  for (const CgiAnswer& answer : delegate.Answers()) {
    EXPECT_EQ(answer.status, kCGIStatusBadRequest);
    EXPECT_FALSE(answer.has_body);
    EXPECT_NE(answer.thread, std::this_thread::get_id());
  }
}

TEST_F(CgiServiceTest, ConnectionRefusedIsANetworkError) {
  int port = 0;
  {
    ScriptedServer closed;
    port = closed.port();
  }
  RecordingCGIDelegate delegate;
  auto request = Send("http://127.0.0.1:" + std::to_string(port) + "/c", &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  EXPECT_EQ(delegate.Answers()[0].status, kCGIStatusNetworkError);
  EXPECT_EQ(delegate.RetryCount(), 2);
  EXPECT_EQ(delegate.SentCount(), 0);
}

TEST_F(CgiServiceTest, OptionsAndHeadersReachTheServer) {
  server_.SetDefault("/c", test::Respond(200, "ok"));
  RecordingCGIDelegate delegate;
  auto plain = Send(server_.Url("/c?x=1&y=2"), &delegate, 0);
  auto request = CreateCGIRequest();
  ICGIRequestSettings* settings = request->SetRequestUrl(server_.Url("/c").c_str());
  settings->SetRequestOption(kCGIOptionNoCache | kCGIOptionCompressed);
  settings->AddHeader("X-Token", "42");
  ASSERT_EQ(Service()->SendRequest(request.get(), &delegate), 0);
  ASSERT_TRUE(delegate.WaitForAnswers(2, kWait));
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  if (requests[0].target != "/c?x=1&y=2") {
    std::swap(requests[0], requests[1]);
  }
  EXPECT_EQ(requests[0].target, "/c?x=1&y=2");
  EXPECT_EQ(requests[0].Header("cache-control"), "");
  EXPECT_EQ(requests[0].Header("accept-encoding"), "");
  EXPECT_EQ(requests[0].Header("user-agent").rfind("TavoriSDK/", 0), 0u);
  EXPECT_EQ(requests[1].Header("cache-control"), "no-cache");
  EXPECT_EQ(requests[1].Header("pragma"), "no-cache");
  EXPECT_NE(requests[1].Header("accept-encoding").find("gzip"), std::string::npos);
  EXPECT_EQ(requests[1].Header("x-token"), "42");
  EXPECT_EQ(delegate.SentCount(), 2);
}

TEST_F(CgiServiceTest, DestroyingARequestBeforeItsAnswerCancelsIt) {
  PlannedAnswer stall = test::Respond(200, "late");
  stall.stall_before_headers = true;
  server_.SetDefault("/c", stall);
  RecordingCGIDelegate delegate;
  // Destroyed while the server holds the answer, and destroyed before the
  // network thread even started the transfer.
  auto waiting = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  waiting.reset();
  Send(server_.Url("/c"), &delegate).reset();
  server_.ReleaseStalls();
  FlushNetworkThread();
  // A later request is answered; the cancelled ones never are.
  server_.SetDefault("/c", test::Respond(200, "now"));
  auto later = Send(server_.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  FlushNetworkThread();
  const auto answers = delegate.Answers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].request, later.get());
}

TEST_F(CgiServiceTest, EveryCallWorksFromInsideAnAnswer) {
  // The answer destroys its own request, sends the next check and starts a
  // download, as the library does.
  server_.SetDefault("/c", test::Respond(200, "check"));
  server_.Serve("/pkg", "package");
  base::test::ScopedTempDir dir;
  RecordingCGIDelegate delegate;
  RecordingDownloadDelegate download_delegate;
  std::unique_ptr<ICGIRequest> current;
  std::unique_ptr<DownloadServiceRequest> download;
  std::atomic<int> answered{0};
  // |current| is set before each send, so the answer may read it.
  auto send_next = [&] {
    current = CreateCGIRequest();
    current->SetRequestUrl(server_.Url("/c").c_str());
    EXPECT_EQ(Service()->SendRequest(current.get(), &delegate), 0);
  };
  delegate.on_answer = [&](ICGIRequest* request, const CgiAnswer&) {
    EXPECT_EQ(request, current.get());
    current.reset();
    if (++answered < 3) {
      send_next();
    } else {
      download = CreateDownloadRequest();
      download->SetUrl(server_.Url("/pkg").c_str());
      download->SetSavePath(dir.Child("pkg").c_str());
      download->SetMd5(util::crypto::Md5("package").c_str());
      download->SetFileSize(7);
      download->Start(&download_delegate);
    }
  };
  send_next();
  ASSERT_TRUE(download_delegate.WaitForFinish(kWait));
  EXPECT_EQ(download_delegate.Finish()->error, kDownloadOk);
  EXPECT_EQ(answered.load(), 3);
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
  senders.reserve(kThreads);
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
  FlushNetworkThread();
  const auto answers = delegate.Answers();
  ASSERT_EQ(answers.size(), requests.size());
  std::set<ICGIRequest*> answered;
  std::set<std::thread::id> threads;
  for (const CgiAnswer& answer : answers) {
    EXPECT_EQ(answer.status, 200);
    answered.insert(answer.request);
    threads.insert(answer.thread);
  }
  EXPECT_EQ(answered.size(), requests.size());
  EXPECT_EQ(threads.size(), 1u);
}

TEST_F(CgiServiceTest, TlsIsVerifiedAgainstTheConfiguredBundle) {
  base::test::ScopedTempDir dir;
  const test::TlsFiles tls = test::MakeSelfSignedTls(dir.path());
  ScriptedServer server(&tls);
  server.SetDefault("/c", test::Respond(200, "secret"));
  RecordingCGIDelegate delegate;
  // The system store does not know the test certificate.
  auto untrusted = Send(server.Url("/c"), &delegate, kCGIOptionNoRetry);
  ASSERT_TRUE(delegate.WaitForAnswers(1, kWait));
  EXPECT_EQ(delegate.Answers()[0].status, kCGIStatusTlsError);
  // A start-up record that names it as the bundle.
  const SDKStartupParam saved = internal::StartupParams();
  SDKStartupParam params = saved;
  params.ca_bundle_path = tls.certificate_path;
  internal::SetStartupParams(params);
  auto trusted = Send(server.Url("/c"), &delegate);
  ASSERT_TRUE(delegate.WaitForAnswers(2, kWait));
  EXPECT_EQ(delegate.Answers()[1].status, 200);
  EXPECT_EQ(delegate.Answers()[1].body, "secret");
  internal::SetStartupParams(saved);
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
