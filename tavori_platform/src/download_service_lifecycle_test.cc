#include <gtest/gtest.h>

#include "src/test_support/download_service_fixture.h"

namespace tavorisdk::download_test {
namespace {

// Stop, destruction and delegates that misbehave, from every thread, and the process's exit with
// downloads running.

TEST_F(DownloadServiceTest, StopRacingWithNotificationsFromSeveralThreads) {
  constexpr int kDownloads = 4;
  constexpr int kStoppers = 3;
  const std::string body = RandomBytes(16 * 1024 * 1024, 11);
  server_.Serve("/f", body);
  struct Run {
    RecordingDownloadDelegate delegate;
    std::unique_ptr<DownloadServiceRequest> request;
    std::atomic<bool> stop_returned{false};
    std::atomic<int> late{0};
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (int i = 0; i < kDownloads; ++i) {
    auto run = std::make_unique<Run>();
    run->request = Make(server_.Url("/f"), body, dir_ + "/p" + std::to_string(i));
    run->request->SetProgressInterval(0);  // a notification for every piece received
    Run* raw = run.get();
    run->delegate.on_event = [raw](DownloadServiceRequest*, const DownloadEvent&) {
      if (raw->stop_returned.load()) {
        ++raw->late;
      }
      std::this_thread::yield();
      if (raw->stop_returned.load()) {
        ++raw->late;  // Stop returned while this notification was still running
      }
    };
    runs.push_back(std::move(run));
  }
  for (auto& run : runs) {
    run->request->Start(&run->delegate);
  }
  // Each request is stopped by several threads at once, at different points of its run (some
  // perhaps after it finished, which is allowed).
  std::vector<std::thread> stoppers;
  for (int i = 0; i < kDownloads; ++i) {
    for (int t = 0; t < kStoppers; ++t) {
      stoppers.emplace_back([&, i] {
        Run& run = *runs[i];
        run.delegate.WaitFor(
            [&](const std::vector<DownloadEvent>& events) {
              return events.size() >= 1 + 8 * static_cast<size_t>(i) ||
                     (!events.empty() && events.back().kind == DownloadEvent::kFinish);
            },
            kWait);
        run.request->Stop(i);
        run.stop_returned = true;
      });
    }
  }
  for (std::thread& t : stoppers) {
    t.join();
  }
  FlushNetworkThread();
  for (int i = 0; i < kDownloads; ++i) {
    SCOPED_TRACE(i);
    Run& run = *runs[i];
    EXPECT_EQ(run.late.load(), 0);
    const auto events = run.delegate.Events();
    run.request.reset();
    FlushNetworkThread();
    EXPECT_EQ(run.delegate.Events().size(), events.size()) << "notified after Stop";
    const bool finished = run.delegate.Finish().has_value();
    EXPECT_EQ(Exists(dir_ + "/p" + std::to_string(i)), finished);
  }
}

TEST_F(DownloadServiceTest, StopOrDestroyFromInsideItsOwnNotification) {
  const std::string body = RandomBytes(3 * 1024 * 1024, 13);
  server_.Serve("/f", body);
  for (DownloadEvent::Kind kind : {DownloadEvent::kStart, DownloadEvent::kProgress}) {
    for (bool destroy : {false, true}) {
      SCOPED_TRACE(std::to_string(kind) + (destroy ? " destroy" : " stop"));
      RecordingDownloadDelegate delegate;
      std::unique_ptr<DownloadServiceRequest> request = Make(server_.Url("/f"), body, target_);
      std::atomic<int> acted{0};
      delegate.on_event = [&](DownloadServiceRequest* from, const DownloadEvent& event) {
        if (event.kind == kind && acted++ == 0) {
          EXPECT_EQ(from, request.get());
          if (destroy) {
            request.reset();
          } else {
            request->Stop(1);
          }
        }
      };
      request->Start(&delegate);
      ASSERT_TRUE(delegate.WaitFor([](const auto& events) { return !events.empty(); }, kWait));
      FlushNetworkThread();
      FlushNetworkThread();
      const auto events = delegate.Events();
      ASSERT_EQ(events.size(), kind == DownloadEvent::kStart ? 1u : 2u);
      EXPECT_EQ(events.back().kind, kind);
      EXPECT_FALSE(Exists(target_));
      request.reset();
    }
  }
}

TEST_F(DownloadServiceTest, ADelegateThatThrowsStopsNeitherTheDownloadNorStop) {
  const std::string body = RandomBytes(2 * 1024 * 1024, 17);
  server_.Serve("/f", body);
  RecordingDownloadDelegate delegate;
  delegate.on_event = [](DownloadServiceRequest*, const DownloadEvent& event) {
    if (event.kind != DownloadEvent::kFinish) {
      throw std::runtime_error("host code failed");
    }
  };
  std::unique_ptr<DownloadServiceRequest> request = Make(server_.Url("/f"), body, target_);
  request->Start(&delegate);
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  EXPECT_EQ(delegate.Finish()->error, kDownloadOk);
  ExpectWellFormed(delegate.Events(), static_cast<int64_t>(body.size()));
  // The gate was left after each throw: Stop from this thread does not wait forever.
  request->Stop(0);
  request.reset();
}

TEST_F(DownloadServiceTest, DestroyingAStalledDownloadKeepsThePartForLater) {
  const std::string body = RandomBytes(500000, 19);
  PlannedAnswer stall = test::Respond(200, body);
  stall.etag = "\"v1\"";
  stall.stall_after = 200000;
  server_.Plan("/f", stall);
  RecordingDownloadDelegate delegate;
  auto request = Make(server_.Url("/f"), body, target_);
  request->Start(&delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  ASSERT_TRUE(delegate.WaitFor([](const auto& events) { return !events.empty(); }, kWait));
  request->SetSpeedLimit(64);  // reaches the running transfer
  request->SetUrgent(true);
  request.reset();  // from the test's thread, while the transfer hangs
  FlushNetworkThread();
  EXPECT_EQ(delegate.Count(DownloadEvent::kFinish), 0u);
  EXPECT_FALSE(Exists(target_));
  EXPECT_TRUE(Exists(target_ + ".part"));
  server_.ReleaseStalls();
}

TEST_F(DownloadServiceTest, StartAfterStopAndSecondStartAreIgnored) {
  const std::string body = RandomBytes(1000, 23);
  server_.Serve("/f", body);
  RecordingDownloadDelegate stopped_delegate;
  auto stopped = Make(server_.Url("/f"), body, target_);
  stopped->Stop(0);
  stopped->Start(&stopped_delegate);

  RecordingDownloadDelegate delegate;
  auto twice = Make(server_.Url("/f"), body, dir_ + "/twice");
  twice->Start(&delegate);
  twice->Start(&delegate);
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  FlushNetworkThread();
  EXPECT_EQ(delegate.Count(DownloadEvent::kFinish), 1u);
  EXPECT_TRUE(stopped_delegate.Events().empty());
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// At exit, with transfers running and stalled, the process ends cleanly and no notification
// runs once the SDK has declared the exit.
class ExitWatch : public RecordingDownloadDelegate {
 public:
  using RecordingDownloadDelegate::OnDownloadFinish;
  void OnDownloadProgress(DownloadServiceRequest* request, int64_t received,
                          int64_t total) override {
    Check();
    RecordingDownloadDelegate::OnDownloadProgress(request, received, total);
    Check();
  }
  void OnDownloadFinish(DownloadServiceRequest* request, int32_t error, const char* path) override {
    Check();  // a download may well finish before the exit
    RecordingDownloadDelegate::OnDownloadFinish(request, error, path);
  }

 private:
  static void Check() {
    if (internal::IsExiting()) {
      std::fprintf(stderr, "notified during exit on the %s thread\n",
                   internal::NetworkThread::Get().IsCurrent() ? "network" : "another");
      _exit(3);
    }
  }
};

DownloadServiceRequest* g_left_running[2];

TEST(DownloadServiceExitTest, ProcessExitsCleanlyWithDownloadsRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto* server = new ScriptedServer();  // left to the exit, like the downloads
        const std::string body = RandomBytes(4 * 1024 * 1024);
        PlannedAnswer stall = test::Respond(200, body);
        stall.stall_after = 100000;
        server->Plan("/stall", stall);
        server->Serve("/f", body);
        auto* stalled_delegate = new ExitWatch();
        auto* busy_delegate = new ExitWatch();
        auto stalled = Make(server->Url("/stall"), body, "/tmp/tavori_exit_test_stall");
        stalled->Start(stalled_delegate);
        auto busy = Make(server->Url("/f"), body, "/tmp/tavori_exit_test_busy");
        busy->SetSpeedLimit(512);
        busy->SetProgressInterval(0);
        busy->Start(busy_delegate);
        server->WaitForStall(kWait);
        busy_delegate->WaitFor([](const auto& events) { return events.size() > 2; }, kWait);
        // Left to the exit too, yet reachable: they are not leaks.
        g_left_running[0] = stalled.release();
        g_left_running[1] = busy.release();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::filesystem::remove("/tmp/tavori_exit_test_stall.part");
  std::filesystem::remove("/tmp/tavori_exit_test_stall.part.info");
  std::filesystem::remove("/tmp/tavori_exit_test_busy.part");
  std::filesystem::remove("/tmp/tavori_exit_test_busy.part.info");
}

}  // namespace
}  // namespace tavorisdk::download_test
