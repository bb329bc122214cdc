#include "tavorisdk/download_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
#include "tavorisdk/test/recording_delegates.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"

namespace tavorisdk {
namespace {

using base::test::RandomBytes;
using base::test::ReadFileToString;

using namespace std::chrono_literals;
using test::DownloadEvent;
using test::PlannedAnswer;
using test::RecordingDownloadDelegate;
using test::ScriptedServer;

constexpr auto kWait = 60s;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::unique_ptr<DownloadServiceRequest> Make(const std::string& url, const std::string& body,
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
  void FlushNetworkThread() {
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
void ExpectWellFormed(const std::vector<DownloadEvent>& events, int64_t size) {
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

struct SuccessCase {
  const char* name;
  size_t size;
  std::function<void(ScriptedServer&, const std::string& body)> plan;
  bool uppercase_md5 = false;
};

TEST_F(DownloadServiceTest, DownloadsAreVerifiedRenamedAndReported) {
  const SuccessCase cases[] = {
      // Larger than the hashing pool, so that the transfer pauses and resumes
      // for the hasher.
      {"plain", 6 * 1024 * 1024 + 123,
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }},
      {"redirected", 100000,
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer redirect = test::Respond(302);
         redirect.headers = {{"Location", "/elsewhere"}};
         s.Plan("/f", redirect);
         s.Serve("/elsewhere", body);
       }},
      {"longer than announced", 50000,
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body + "trailing junk");
         answer.announced_length = static_cast<int64_t>(body.size());
         s.Plan("/f", answer);
       }},
      {"empty file", 0, [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }},
      {"md5 in upper case", 70000,
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }, true},
  };
  for (const SuccessCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    const std::string body = RandomBytes(c.size);
    c.plan(server, body);
    RecordingDownloadDelegate delegate;
    auto request = Make(server.Url("/f"), body, target_);
    if (c.uppercase_md5) {
      std::string md5 = util::crypto::Md5(body);
      for (char& ch : md5) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      }
      request->SetMd5(md5.c_str());
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    request.reset();
    const auto finish = delegate.Finish();
    EXPECT_EQ(finish->error, kDownloadOk);
    EXPECT_EQ(finish->path, target_);
    EXPECT_TRUE(ReadFileToString(target_) == body);
    EXPECT_FALSE(Exists(target_ + ".part"));
    EXPECT_FALSE(Exists(target_ + ".part.info"));
    ExpectWellFormed(delegate.Events(), static_cast<int64_t>(body.size()));
    std::filesystem::remove(target_);
  }
}

struct FailureCase {
  const char* name;
  std::function<void(ScriptedServer&, const std::string& body)> plan;
  int32_t error;
  bool part_kept;  // the partial file stays for a later resume
  std::function<void(DownloadServiceRequest&)> configure = nullptr;
  int64_t size_delta = 0;  // added to the expected size
  size_t requests = 1;     // how many requests the server sees
};

TEST_F(DownloadServiceTest, FailuresEndWithTheirCodeAndNeverLeaveATarget) {
  const FailureCase cases[] = {
      {"404", [](ScriptedServer& s, const std::string&) { s.Plan("/f", test::Respond(404, "no")); },
       kDownloadErrorHttpStatus, false},
      {"503 retried until the retries run out",
       [](ScriptedServer& s, const std::string&) { s.SetDefault("/f", test::Respond(503)); },
       kDownloadErrorHttpStatus, false, [](DownloadServiceRequest& r) { r.SetMaxRetries(2); }, 0,
       3},
      {"wrong MD5",
       [](ScriptedServer& s, const std::string& body) {
         std::string other = body;
         other[other.size() / 2] ^= 1;
         s.Serve("/f", other);
       },
       kDownloadErrorMd5Mismatch, false},
      {"server announces more than expected",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); },
       kDownloadErrorSizeMismatch, false, nullptr, -1},
      {"server sends less than expected",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); },
       kDownloadErrorSizeMismatch, false, nullptr, +1},
      {"body shorter than announced",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body.substr(0, body.size() / 3));
         answer.announced_length = static_cast<int64_t>(body.size());
         s.Plan("/f", answer);
       },
       kDownloadErrorTransport, true, [](DownloadServiceRequest& r) { r.SetMaxRetries(0); }},
      {"connection cut",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body);
         answer.cut_after = body.size() / 2;
         s.Plan("/f", answer);
       },
       kDownloadErrorTransport, true, [](DownloadServiceRequest& r) { r.SetMaxRetries(0); }},
      {"stalled server",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body);
         answer.stall_after = 1000;
         s.Plan("/f", answer);
       },
       kDownloadErrorTransport, true,
       [](DownloadServiceRequest& r) {
         r.SetMaxRetries(0);
         r.SetStallTimeout(1);
       }},
      // Nothing that could not be verified is fetched, let alone reported as a success.
      {"MD5 not hexadecimal",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); },
       kDownloadErrorMd5Mismatch, false,
       [](DownloadServiceRequest& r) { r.SetMd5("not-an-md5-but-32-characters-ok!"); }, 0, 0},
      {"negative size", [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); },
       kDownloadErrorSizeMismatch, false, [](DownloadServiceRequest& r) { r.SetFileSize(-1); }, 0,
       0},
      {"connection refused", [](ScriptedServer&, const std::string&) {}, kDownloadErrorTransport,
       false,
       [](DownloadServiceRequest& r) {
         r.SetUrl("http://127.0.0.1:1/f");
         r.SetMaxRetries(1);
       },
       0, 0},
      {"no URL", [](ScriptedServer&, const std::string&) {}, kDownloadErrorBadRequest, false,
       [](DownloadServiceRequest& r) { r.SetUrl(""); }, 0, 0},
      {"unwritable directory",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); },
       kDownloadErrorLocalFile, false,
       [this](DownloadServiceRequest& r) { r.SetSavePath((dir_ + "/missing/p.exe").c_str()); }, 0,
       0},
  };
  const std::string body = RandomBytes(300000);
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    c.plan(server, body);
    // Something at the target already: it must be gone, whatever the outcome.
    std::ofstream(target_) << "old";
    RecordingDownloadDelegate delegate;
    auto request = Make(server.Url("/f"), body, target_);
    request->SetFileSize(static_cast<int64_t>(body.size()) + c.size_delta);
    if (c.configure) {
      c.configure(*request);
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_EQ(delegate.Count(DownloadEvent::kFinish), 1u);
    if (c.error != kDownloadErrorBadRequest && c.error != kDownloadErrorLocalFile) {
      EXPECT_FALSE(Exists(target_));
    }
    EXPECT_EQ(Exists(target_ + ".part"), c.part_kept);
    EXPECT_EQ(server.RequestCount(), c.requests);
    request.reset();
    std::filesystem::remove(target_);
    std::filesystem::remove(target_ + ".part");
    std::filesystem::remove(target_ + ".part.info");
  }
}

// A partial file from an "earlier run" of |url|: |part| bytes, or a link to
// |victim| when |victim| is given, with a matching info file.
void PlantPart(const std::string& target, const std::string& url, const std::string& body,
               const std::string& part, const std::string& victim = "") {
  if (victim.empty()) {
    std::ofstream(target + ".part", std::ios::binary) << part;
  } else {
    ASSERT_EQ(symlink(victim.c_str(), (target + ".part").c_str()), 0);
  }
  std::ofstream(target + ".part.info")
      << "tavori-part 1\nurl " << url << "\nmd5 " << util::crypto::Md5(body) << "\nsize "
      << body.size() << "\nvalidator \"v1\"\n";
}

// Another local user prepares the download directory in a shared place: a
// partial file that links to the victim's file, with a matching info file.
// (Which directories count as private is the OS layer's test.)
TEST_F(DownloadServiceTest, PlantedLinksAndForeignDirectoriesNeverReceiveTheDownload) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the attacker's directory belongs to another user (uid 65534)";
  }
  const std::string body = RandomBytes(200000, 29);
  const std::string victim = dir_ + "/victim";
  const std::string root = dir_ + "/Halvern";
  const std::string target = root + "/Tavori/Temp/p.exe";
  const struct {
    const char* name;
    std::function<void()> prepare;  // null: nothing exists beforehand
    bool private_root;
    int32_t error;
  } cases[] = {
      {"private root made fresh", nullptr, true, kDownloadOk},
      {"shared directory without a private root", [&] { ASSERT_EQ(mkdir(root.c_str(), 01777), 0); },
       false, kDownloadOk},
      {"private root of another user",
       [&] {
         ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
         ASSERT_EQ(chown(root.c_str(), 65534, 65534), 0);
       },
       true, kDownloadErrorLocalFile},
      {"download directory of another user below the private root",
       [&] {
         std::filesystem::create_directories(root + "/Tavori/Temp");
         ASSERT_EQ(chmod(root.c_str(), 0700), 0);
         ASSERT_EQ(chown((root + "/Tavori/Temp").c_str(), 65534, 65534), 0);
       },
       true, kDownloadErrorLocalFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Serve("/f", body);
    std::ofstream(victim) << "victim data";
    if (c.prepare) {
      c.prepare();
      std::filesystem::create_directories(root + "/Tavori/Temp");
      PlantPart(target, server.Url("/f"), body, "", victim);
    }
    RecordingDownloadDelegate delegate;
    auto request = Make(server.Url("/f"), body, target);
    if (c.private_root) {
      request->SetPrivateRoot((root + "/").c_str());
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_TRUE(ReadFileToString(victim) == "victim data") << "the victim's file was written";
    if (c.error == kDownloadOk) {
      EXPECT_TRUE(ReadFileToString(target) == body);
      struct stat info {};
      ASSERT_EQ(lstat((root + "/Tavori").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 022, 0u);
    } else {
      EXPECT_EQ(server.RequestCount(), 0u);
      EXPECT_FALSE(Exists(target));
    }
    std::filesystem::remove_all(root);
  }
}

// Two downloads of different packages to one target: the second finds the
// partial file held and fails without touching it; the first ends with its own
// package.
TEST_F(DownloadServiceTest, SecondDownloadToATargetInUseFailsAndTheFirstIsUnharmed) {
  const std::string first_body = RandomBytes(400000, 31);
  const std::string second_body = RandomBytes(300000, 37);
  PlannedAnswer stall = test::Respond(200, first_body);
  stall.stall_after = 100000;
  server_.Plan("/first", stall);
  server_.Serve("/second", second_body);
  RecordingDownloadDelegate first_delegate;
  auto first = Make(server_.Url("/first"), first_body, target_);
  first->Start(&first_delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  // The start notification follows the creation of the partial file.
  ASSERT_TRUE(first_delegate.WaitFor([](const auto& events) { return !events.empty(); }, kWait));

  RecordingDownloadDelegate second_delegate;
  auto second = Make(server_.Url("/second"), second_body, target_);
  second->Start(&second_delegate);
  ASSERT_TRUE(second_delegate.WaitForFinish(kWait));
  EXPECT_EQ(second_delegate.Finish()->error, kDownloadErrorLocalFile);
  EXPECT_EQ(server_.RequestCount(), 1u);

  server_.ReleaseStalls();
  ASSERT_TRUE(first_delegate.WaitForFinish(kWait));
  EXPECT_EQ(first_delegate.Finish()->error, kDownloadOk);
  EXPECT_TRUE(ReadFileToString(target_) == first_body);
  EXPECT_FALSE(Exists(target_ + ".part"));
}

TEST_F(DownloadServiceTest, ADownloadThatCannotFitFailsBeforeTheTransfer) {
  const std::string body = RandomBytes(300000, 41);
  const int64_t size = static_cast<int64_t>(body.size());
  const struct {
    const char* name;
    int64_t free;
    size_t kept;  // bytes of a partial file from an earlier run
    int32_t error;
  } cases[] = {
      {"fits exactly", size, 0, kDownloadOk},
      {"one byte short", size - 1, 0, kDownloadErrorLocalFile},
      {"the rest of a resumed file fits", size - 100000, 100000, kDownloadOk},
      {"the rest of a resumed file does not", size - 100001, 100000, kDownloadErrorLocalFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Serve("/f", body);
    if (c.kept > 0) {
      PlantPart(target_, server.Url("/f"), body, body.substr(0, c.kept));
    }
    internal::SetFreeSpaceForTesting(c.free);
    RecordingDownloadDelegate delegate;
    auto request = Make(server.Url("/f"), body, target_);
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_EQ(server.RequestCount(), c.error == kDownloadOk ? 1u : 0u);
    if (c.error != kDownloadOk && c.kept > 0) {
      EXPECT_EQ(std::filesystem::file_size(target_ + ".part"), c.kept) << "kept for later";
    }
    std::filesystem::remove(target_);
    std::filesystem::remove(target_ + ".part");
    std::filesystem::remove(target_ + ".part.info");
  }
  internal::SetFreeSpaceForTesting(-1);
}

struct ResumeCase {
  const char* name;
  // Plans the answers that follow the interrupted first attempt.
  std::function<void(ScriptedServer&, const std::string& body)> plan_rest;
  bool expect_range;  // the second request asks for the rest
  size_t requests;    // requests in all, the interrupted one included
  bool corrupt_part = false;
  bool other_md5 = false;  // the second download expects different content
};

// A first download is cut off at 40%; a second download of the same URL, MD5
// and target then resumes from the partial file, or starts over when it may
// not.
TEST_F(DownloadServiceTest, InterruptedDownloadsResumeOrStartOverCleanly) {
  const ResumeCase cases[] = {
      {"server honours the range",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }, true, 2},
      {"server ignores ranges",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body);
         answer.honour_range = false;
         s.Plan("/f", answer);
       },
       true, 2},
      {"resource changed (If-Range fails)",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body, "\"v2\""); }, true, 2},
      {"server sends the wrong range",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer wrong = test::Respond(206, body);
         wrong.honour_range = false;
         wrong.headers = {{"Content-Range", "bytes 0-" + std::to_string(body.size() - 1) + "/" +
                                                std::to_string(body.size())}};
         s.Plan("/f", wrong);
         s.Serve("/f", body);
       },
       true, 3},
      {"partial file damaged on disk",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }, true, 3, true},
      {"different MD5 does not resume",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); }, false, 2, false,
       true},
  };
  for (const ResumeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    const std::string body = RandomBytes(2 * 1024 * 1024, 7);
    PlannedAnswer cut = test::Respond(200, body);
    cut.etag = "\"v1\"";
    cut.cut_after = body.size() * 2 / 5;
    server.Plan("/f", cut);
    {
      RecordingDownloadDelegate delegate;
      auto first = Make(server.Url("/f"), body, target_);
      first->SetMaxRetries(0);
      first->Start(&delegate);
      ASSERT_TRUE(delegate.WaitForFinish(kWait));
      ASSERT_EQ(delegate.Finish()->error, kDownloadErrorTransport);
    }
    const auto kept = std::filesystem::file_size(target_ + ".part");
    ASSERT_GT(kept, 0u);
    if (c.corrupt_part) {
      std::fstream part(target_ + ".part", std::ios::in | std::ios::out | std::ios::binary);
      part.seekp(100);
      part.put(static_cast<char>(body[100] ^ 0x55));
    }
    c.plan_rest(server, body);
    RecordingDownloadDelegate delegate;
    auto second = Make(server.Url("/f"), body, target_);
    if (c.other_md5) {
      second->SetMd5(util::crypto::Md5("something else").c_str());
    }
    second->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    second.reset();
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_EQ(requests[1].Header("range"),
              c.expect_range ? "bytes=" + std::to_string(kept) + "-" : "");
    if (c.expect_range) {
      EXPECT_EQ(requests[1].Header("if-range"), "\"v1\"");
    }
    for (size_t i = 2; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].Header("range"), "") << "a fresh start asks for everything";
    }
    if (c.other_md5) {
      EXPECT_EQ(delegate.Finish()->error, kDownloadErrorMd5Mismatch);
      EXPECT_FALSE(Exists(target_));
    } else {
      EXPECT_EQ(delegate.Finish()->error, kDownloadOk);
      EXPECT_TRUE(ReadFileToString(target_) == body);
      ExpectWellFormed(delegate.Events(), static_cast<int64_t>(body.size()));
    }
    EXPECT_EQ(delegate.Count(DownloadEvent::kStart), 1u);
    std::filesystem::remove(target_);
  }
}

TEST_F(DownloadServiceTest, TransientFailuresAreRetriedFromWhereTheyStopped) {
  const std::string body = RandomBytes(1024 * 1024, 3);
  PlannedAnswer cut = test::Respond(200, body);
  cut.etag = "\"v1\"";
  cut.cut_after = 300000;
  server_.Plan("/f", cut);
  server_.Plan("/f", test::Respond(503));
  server_.Serve("/f", body);
  RecordingDownloadDelegate delegate;
  auto request = Make(server_.Url("/f"), body, target_);
  request->SetMaxRetries(2);
  request->SetUserAgent("Custom/1.0");
  request->AddHeader("X-Test", "yes");
  request->Start(&delegate);
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  EXPECT_EQ(delegate.Finish()->error, kDownloadOk);
  EXPECT_TRUE(ReadFileToString(target_) == body);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].Header("range"), "bytes=300000-");
  EXPECT_EQ(requests[2].Header("range"), "bytes=300000-");
  EXPECT_EQ(requests[2].Header("user-agent"), "Custom/1.0");
  EXPECT_EQ(requests[2].Header("x-test"), "yes");
  std::vector<int32_t> retried;
  for (const DownloadEvent& e : delegate.Events()) {
    if (e.kind == DownloadEvent::kRetry) {
      retried.push_back(e.error);
    }
  }
  EXPECT_EQ(retried, (std::vector<int32_t>{kDownloadErrorTransport, kDownloadErrorHttpStatus}));
}

TEST_F(DownloadServiceTest, ProgressComesInStepsOfAtLeastOnePercent) {
  const std::string body = RandomBytes(40 * 1024 * 1024, 5);
  server_.Serve("/f", body);
  RecordingDownloadDelegate delegate;
  auto request = Make(server_.Url("/f"), body, target_);
  request->Start(&delegate);
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  ASSERT_EQ(delegate.Finish()->error, kDownloadOk);
  std::vector<int64_t> received;
  for (const DownloadEvent& e : delegate.Events()) {
    if (e.kind == DownloadEvent::kProgress) {
      received.push_back(e.received);
    }
  }
  ASSERT_GE(received.size(), 10u);
  EXPECT_LE(received.size(), 102u);
  for (size_t i = 1; i + 1 < received.size(); ++i) {
    EXPECT_GE((received[i] - received[i - 1]) * 100, static_cast<int64_t>(body.size()));
  }
  EXPECT_EQ(received.back(), static_cast<int64_t>(body.size()));
}

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
              return events.size() >= static_cast<size_t>(1 + 8 * i) ||
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
}  // namespace tavorisdk
