// The download service tests' fixture: a scripted server, a temporary directory, requests
// made for a body, and the check of a finished download's notifications.

#ifndef TAVORI_PLATFORM_SRC_TEST_SUPPORT_DOWNLOAD_SERVICE_FIXTURE_H_
#define TAVORI_PLATFORM_SRC_TEST_SUPPORT_DOWNLOAD_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "src/curl_common.h"
#include "src/download_file.h"
#include "src/network_thread.h"
#include "tavorisdk/download_service.h"
#include "tavorisdk/test/recording_delegates.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"

namespace tavorisdk::download_test {

using base::test::RandomBytes;
using base::test::ReadFileToString;

using namespace std::chrono_literals;
using test::DownloadEvent;
using test::PlannedAnswer;
using test::RecordingDownloadDelegate;
using test::ScriptedServer;

inline constexpr auto kWait = 60s;

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::unique_ptr<DownloadServiceRequest> Make(const std::string& url, const std::string& body,
                                                    const std::string& path) {
  auto request = CreateDownloadRequest();
  request->SetUrl(url.c_str());
  request->SetSavePath(path.c_str());
  request->SetMd5(util::crypto::Md5(body).c_str());
  request->SetFileSize(static_cast<int64_t>(body.size()));
  request->SetProgressInterval(60000);  // progress by the 1% rule only: deterministic counts
  return request;
}

class DownloadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    internal::SetRetryBaseDelayForTesting(10ms);
    ASSERT_FALSE(dir_.empty());
  }

  // Waits until every task posted to the network thread before it has run: a
  // request that fails at once is answered from the network thread's queue,
  // after what was posted earlier.
  static void FlushNetworkThread() {
    RecordingDownloadDelegate barrier;
    auto request = CreateDownloadRequest();
    request->Start(&barrier);
    ASSERT_TRUE(barrier.WaitForFinish(kWait));
  }

  base::test::ScopedTempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string target_ = temp_.Child("package.exe");
  ScriptedServer server_;
};

// Checks the notification sequence of a finished download: start, progress that
// never goes back, a final progress at the total, one finish; all on one thread
// that is not the caller's.
inline void ExpectWellFormed(const std::vector<DownloadEvent>& events, int64_t size) {
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front().kind, DownloadEvent::kStart);
  EXPECT_EQ(events.back().kind, DownloadEvent::kFinish);
  EXPECT_EQ(events[events.size() - 2].kind, DownloadEvent::kProgress);
  EXPECT_EQ(events[events.size() - 2].received, size);
  int64_t last = -1;
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, DownloadEvent::kProgress);
    EXPECT_GE(events[i].received, last);
    EXPECT_EQ(events[i].total, size);
    EXPECT_EQ(events[i].thread, events[0].thread);
    last = events[i].received;
  }
  EXPECT_NE(events[0].thread, std::this_thread::get_id());
  EXPECT_EQ(events.back().thread, events[0].thread);
}

}  // namespace tavorisdk::download_test

#endif  // TAVORI_PLATFORM_SRC_TEST_SUPPORT_DOWNLOAD_SERVICE_FIXTURE_H_
