// The download service end to end against a scripted server: outcomes, faults, retries and
// resumption in one table; then what one table cannot show (Stop racing from several threads,
// destruction during a stall, files planted by another user, the process's exit).

#include "tavorisdk/download_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

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
using test::FlushNetworkThread;
using test::PlannedAnswer;
using test::RecordingDownloadDelegate;
using test::ScriptedServer;

constexpr auto kWait = 60s;
constexpr int32_t kStopped = -1;  // no finish: the delegate stopped or destroyed its request

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A request for |body|; every request it sends carries the user agent and header given here.
std::unique_ptr<DownloadServiceRequest> Make(const std::string& url, const std::string& body,
                                             const std::string& path) {
  auto request = CreateDownloadRequest();
  request->SetUrl(url.c_str());
  request->SetSavePath(path.c_str());
  request->SetMd5(util::crypto::Md5(body).c_str());
  request->SetFileSize(static_cast<int64_t>(body.size()));
  request->SetProgressInterval(60000);  // progress by the 1% rule only: deterministic counts
  request->SetUserAgent("Custom/1.0");
  request->AddHeader("X-Test", "yes");
  return request;
}

// A partial file (|part|, or a link to |victim|) and its record, as an earlier run of |url|
// leaves them.
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

PlannedAnswer Answer(const std::string& body, size_t cut_after = test::kNever) {
  PlannedAnswer answer = test::Respond(200, body);
  answer.etag = "\"v1\"";
  answer.cut_after = cut_after;
  return answer;
}

// A finished download's notifications besides retries: start, progress in steps of at least 1%
// that never goes back, a last progress at the total, one finish; all on one thread that is not
// the caller's.
void ExpectWellFormed(std::vector<DownloadEvent> events, int64_t size) {
  std::erase_if(events, [](const DownloadEvent& e) { return e.kind == DownloadEvent::kRetry; });
  ASSERT_GE(events.size(), 3u);
  EXPECT_LE(events.size(), 103u);
  EXPECT_EQ(events.front().kind, DownloadEvent::kStart);
  EXPECT_EQ(events.back().kind, DownloadEvent::kFinish);
  EXPECT_NE(events.front().thread, std::this_thread::get_id());
  int64_t last = 0;
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, DownloadEvent::kProgress);
    EXPECT_EQ(events[i].total, size);
    EXPECT_GE(events[i].received, last);
    if (i + 2 < events.size()) {
      EXPECT_GE((events[i].received - last) * 100, size) << "a step below 1%";
    }
    last = events[i].received;
  }
  EXPECT_EQ(last, size);
  if (size >= 1024 * 1024) {
    EXPECT_GE(events.size(), 5u) << "no progress during the transfer";
  }
  for (const DownloadEvent& event : events) {
    EXPECT_EQ(event.thread, events.front().thread);
  }
}

class DownloadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { internal::SetRetryBaseDelayForTesting(10ms); }

  base::test::ScopedTempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string target_ = temp_.Child("package.exe");
  ScriptedServer server_;
};

struct Case {
  const char* name;
  std::function<void(ScriptedServer&, const std::string& body)> plan;
  int32_t error;                    // of the finish notification, or kStopped
  std::vector<std::string> ranges;  // the Range header of each request the server received
  struct {
    std::function<void(DownloadServiceRequest&, const std::string& body)> configure = nullptr;
    bool part_kept = false;             // the partial file stays for a later resume
    size_t kept = 0;                    // bytes of a partial file from an earlier run
    std::vector<int32_t> retried = {};  // the failures notified as retried, in order
    size_t size = 300000;               // of the body
    // The notification from inside which the delegate stops, or destroys, its request.
    std::optional<DownloadEvent::Kind> stop_at = std::nullopt;
    bool destroy = false;
  } with = {};
};

TEST_F(DownloadServiceTest, OutcomesFaultsRetriesAndResumption) {
  const auto serve = [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body); };
  const auto retries = [](int n) {
    return [n](DownloadServiceRequest& r, const std::string&) { r.SetMaxRetries(n); };
  };
  const auto free_space = [](int64_t less) {
    return [less](DownloadServiceRequest&, const std::string& body) {
      internal::SetFreeSpaceForTesting(static_cast<int64_t>(body.size()) - less);
    };
  };
  const std::string from_kept = "bytes=100000-";
  const Case cases[] = {
      // Larger than the hashing pool: the transfer pauses for the hasher and for progress.
      {"plain", serve, kDownloadOk, {""}, {.size = 40 * 1024 * 1024}},
      {"redirected",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer redirect = test::Respond(302);
         redirect.headers = {{"Location", "/elsewhere"}};
         s.Plan("/f", redirect);
         s.Serve("/elsewhere", body);
       },
       kDownloadOk,
       {"", ""}},
      {"longer than announced",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body + "trailing junk");
         answer.announced_length = static_cast<int64_t>(body.size());
         s.Plan("/f", answer);
       },
       kDownloadOk,
       {""}},
      {"empty file", serve, kDownloadOk, {""}, {.size = 0}},
      {"MD5 in upper case",
       serve,
       kDownloadOk,
       {""},
       {.configure =
            [](DownloadServiceRequest& r, const std::string& body) {
              std::string md5 = util::crypto::Md5(body);
              std::ranges::transform(md5, md5.begin(), [](char c) { return std::toupper(c); });
              r.SetMd5(md5.c_str());
            }}},
      {"resumed with Range and If-Range", serve, kDownloadOk, {from_kept}, {.kept = 100000}},
      {"range ignored: starts over with that answer",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = Answer(body);
         answer.honour_range = false;
         s.Plan("/f", answer);
       },
       kDownloadOk,
       {from_kept},
       {.kept = 100000}},
      {"resource changed: If-Range fails",
       [](ScriptedServer& s, const std::string& body) { s.Serve("/f", body, "\"v2\""); },
       kDownloadOk,
       {from_kept},
       {.kept = 100000}},
      {"wrong range: starts over",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer wrong = test::Respond(206, body);
         wrong.honour_range = false;
         wrong.headers = {{"Content-Range", "bytes 0-299999/300000"}};
         s.Plan("/f", wrong);
         s.Serve("/f", body);
       },
       kDownloadOk,
       {from_kept, ""},
       {.kept = 100000}},
      {"partial file damaged on disk: starts over",
       serve,
       kDownloadOk,
       {from_kept, ""},
       {.configure =
            [this](DownloadServiceRequest&, const std::string& body) {
              std::fstream part(target_ + ".part", std::ios::in | std::ios::out | std::ios::binary);
              part.seekp(100);
              part.put(static_cast<char>(body[100] ^ 0x55));
            },
        .kept = 100000}},
      {"other MD5: no resume",
       serve,
       kDownloadErrorMd5Mismatch,
       {""},
       {.configure = [](DownloadServiceRequest& r,
                        const std::string&) { r.SetMd5(util::crypto::Md5("other").c_str()); },
        .kept = 100000}},
      {"resume disabled",
       serve,
       kDownloadOk,
       {""},
       {.configure = [](DownloadServiceRequest& r,
                        const std::string&) { r.SetResumeEnabled(false); },
        .kept = 100000}},
      {"cut, then 503: retried from where it stopped",
       [](ScriptedServer& s, const std::string& body) {
         s.Plan("/f", Answer(body, 150000));
         s.Plan("/f", test::Respond(503));
         s.Serve("/f", body);
       },
       kDownloadOk,
       {"", "bytes=150000-", "bytes=150000-"},
       {.configure = retries(2), .retried = {kDownloadErrorTransport, kDownloadErrorHttpStatus}}},
      {"503 until the retries run out",
       [](ScriptedServer& s, const std::string&) { s.SetDefault("/f", test::Respond(503)); },
       kDownloadErrorHttpStatus,
       {"", "", ""},
       {.configure = retries(2), .retried = {kDownloadErrorHttpStatus, kDownloadErrorHttpStatus}}},
      {"connection refused",
       nullptr,
       kDownloadErrorTransport,
       {},
       {.configure =
            [](DownloadServiceRequest& r, const std::string&) {
              r.SetUrl("http://127.0.0.1:1/f");
              r.SetMaxRetries(1);
            },
        .retried = {kDownloadErrorTransport}}},
      {"404",
       [](ScriptedServer& s, const std::string&) { s.Plan("/f", test::Respond(404, "no")); },
       kDownloadErrorHttpStatus,
       {""}},
      {"wrong MD5",
       [](ScriptedServer& s, const std::string& body) {
         std::string other = body;
         other[other.size() / 2] ^= 1;
         s.Serve("/f", other);
       },
       kDownloadErrorMd5Mismatch,
       {""}},
      {"server announces another size",
       serve,
       kDownloadErrorSizeMismatch,
       {""},
       {.configure =
            [](DownloadServiceRequest& r, const std::string& body) {
              r.SetFileSize(static_cast<int64_t>(body.size()) + 1);
            }}},
      {"body shorter than announced",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = test::Respond(200, body.substr(0, body.size() / 3));
         answer.announced_length = static_cast<int64_t>(body.size());
         s.Plan("/f", answer);
       },
       kDownloadErrorTransport,
       {""},
       {.configure = retries(0), .part_kept = true}},
      {"connection cut",
       [](ScriptedServer& s, const std::string& body) { s.Plan("/f", Answer(body, 150000)); },
       kDownloadErrorTransport,
       {""},
       {.configure = retries(0), .part_kept = true}},
      {"stalled server",
       [](ScriptedServer& s, const std::string& body) {
         PlannedAnswer answer = Answer(body);
         answer.stall_after = 1000;
         s.Plan("/f", answer);
       },
       kDownloadErrorTransport,
       {""},
       {.configure =
            [](DownloadServiceRequest& r, const std::string&) {
              r.SetMaxRetries(0);
              r.SetStallTimeout(1);
            },
        .part_kept = true}},
      // Nothing that could not be verified is fetched, let alone reported as a success.
      {"MD5 not hexadecimal",
       serve,
       kDownloadErrorMd5Mismatch,
       {},
       {.configure = [](DownloadServiceRequest& r,
                        const std::string&) { r.SetMd5("not-an-md5-but-32-characters-ok!"); }}},
      {"negative size",
       serve,
       kDownloadErrorSizeMismatch,
       {},
       {.configure = [](DownloadServiceRequest& r, const std::string&) { r.SetFileSize(-1); }}},
      {"no URL",
       nullptr,
       kDownloadErrorBadRequest,
       {},
       {.configure = [](DownloadServiceRequest& r, const std::string&) { r.SetUrl(""); }}},
      {"directory missing",
       serve,
       kDownloadErrorLocalFile,
       {},
       {.configure =
            [this](DownloadServiceRequest& r, const std::string&) {
              r.SetSavePath((dir_ + "/missing/p.exe").c_str());
            }}},
      {"fits the free space exactly", serve, kDownloadOk, {""}, {.configure = free_space(0)}},
      {"one byte short of space", serve, kDownloadErrorLocalFile, {}, {.configure = free_space(1)}},
      {"the rest of a resumed file fits",
       serve,
       kDownloadOk,
       {from_kept},
       {.configure = free_space(100000), .kept = 100000}},
      {"the rest of a resumed file does not",
       serve,
       kDownloadErrorLocalFile,
       {},
       {.configure = free_space(100001), .part_kept = true, .kept = 100000}},
      {"stopped from inside its start notification",
       serve,
       kStopped,
       {""},
       {.part_kept = true, .stop_at = DownloadEvent::kStart}},
      {"destroyed from inside a progress notification",
       serve,
       kStopped,
       {""},
       {.part_kept = true, .stop_at = DownloadEvent::kProgress, .destroy = true}},
      {"stopped from inside a retry notification",
       [](ScriptedServer& s, const std::string& body) {
         s.Plan("/f", test::Respond(503));
         s.Serve("/f", body);
       },
       kStopped,
       {""},
       {.retried = {kDownloadErrorHttpStatus}, .stop_at = DownloadEvent::kRetry}},
      {"destroyed from inside its finish notification",
       serve,
       kDownloadOk,
       {""},
       {.stop_at = DownloadEvent::kFinish, .destroy = true}},
  };
  const std::string bytes = RandomBytes(40 * 1024 * 1024);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = bytes.substr(0, c.with.size);
    ScriptedServer server;
    if (c.plan) {
      c.plan(server, body);
    }
    if (c.with.kept > 0) {
      PlantPart(target_, server.Url("/f"), body, body.substr(0, c.with.kept));
    }
    std::ofstream(target_) << "old";  // whatever the outcome, it does not stay
    std::unique_ptr<DownloadServiceRequest> request = Make(server.Url("/f"), body, target_);
    if (c.with.configure) {
      c.with.configure(*request, body);
    }
    RecordingDownloadDelegate delegate;
    std::atomic<bool> acted{false};
    delegate.on_event = [&](DownloadServiceRequest* from, const DownloadEvent& event) {
      if (event.kind == c.with.stop_at && !acted.exchange(true)) {
        EXPECT_EQ(from, request.get());
        c.with.destroy ? request.reset() : request->Stop(1);
      }
    };
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitFor(
        [&](const auto& events) {
          return std::ranges::any_of(events, [&](const DownloadEvent& e) {
            return e.kind == c.with.stop_at.value_or(DownloadEvent::kFinish);
          });
        },
        kWait));
    // Twice: the first lets a running notification end, the second a cancellation it posted.
    ASSERT_TRUE(FlushNetworkThread());
    ASSERT_TRUE(FlushNetworkThread());
    request.reset();
    const std::vector<DownloadEvent> events = delegate.Events();
    if (c.error == kStopped) {
      EXPECT_EQ(events.back().kind, *c.with.stop_at) << "notified after Stop";
      EXPECT_FALSE(delegate.Finish());
    } else {
      ASSERT_EQ(delegate.Of(DownloadEvent::kFinish).size(), 1u);
      EXPECT_EQ(delegate.Finish()->error, c.error);
    }
    if (c.error == kDownloadOk) {
      EXPECT_EQ(delegate.Finish()->path, target_);
      EXPECT_TRUE(ReadFileToString(target_) == body);
      EXPECT_FALSE(Exists(target_ + ".part.info"));
      ExpectWellFormed(events, static_cast<int64_t>(body.size()));
    } else if (c.error != kDownloadErrorBadRequest && c.error != kDownloadErrorLocalFile) {
      EXPECT_FALSE(Exists(target_));
    }
    EXPECT_EQ(Exists(target_ + ".part"), c.with.part_kept);
    std::vector<std::string> ranges;
    for (const test::RecordedRequest& sent : server.Requests()) {
      ranges.push_back(sent.Header("range"));
      EXPECT_EQ(sent.Header("if-range"), ranges.back().empty() ? "" : "\"v1\"");
      EXPECT_EQ(sent.Header("user-agent"), "Custom/1.0");
      EXPECT_EQ(sent.Header("x-test"), "yes");
    }
    EXPECT_EQ(ranges, c.ranges);
    std::vector<int32_t> retried;
    for (const DownloadEvent& event : delegate.Of(DownloadEvent::kRetry)) {
      retried.push_back(event.error);
    }
    EXPECT_EQ(retried, c.with.retried);
    internal::SetFreeSpaceForTesting(-1);
    for (const char* suffix : {"", ".part", ".part.info"}) {
      std::filesystem::remove(target_ + suffix);
    }
  }
}

// Another local user prepares the download directory in a shared place: a partial file that
// links to the victim's file, with a matching record.  (Which directories count as private is the
// OS layer's test.)
TEST_F(DownloadServiceTest, PlantedLinksAndForeignDirectoriesNeverReceiveTheDownload) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the attacker's directory belongs to another user (uid 65534)";
  }
  const std::string body = RandomBytes(200000, 29);
  const std::string victim = dir_ + "/victim";
  const std::string root = dir_ + "/Halvern";
  const std::string target = root + "/Tavori/Temp/p.exe";
  server_.Serve("/f", body);
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
    std::ofstream(victim) << "victim data";
    if (c.prepare) {
      c.prepare();
      std::filesystem::create_directories(root + "/Tavori/Temp");
      PlantPart(target, server_.Url("/f"), body, "", victim);
    }
    const size_t requests_before = server_.RequestCount();
    RecordingDownloadDelegate delegate;
    auto request = Make(server_.Url("/f"), body, target);
    if (c.private_root) {
      request->SetPrivateRoot((root + "/").c_str());
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_EQ(ReadFileToString(victim), "victim data");
    EXPECT_EQ(ReadFileToString(target) == body, c.error == kDownloadOk);
    EXPECT_EQ(server_.RequestCount() - requests_before, c.error == kDownloadOk ? 1u : 0u);
    if (c.error == kDownloadOk) {
      struct stat info {};
      ASSERT_EQ(lstat((root + "/Tavori").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 022, 0u);
    }
    std::filesystem::remove_all(root);
  }
}

// Two downloads of different packages to one target: the second finds the partial file held and
// fails without touching it; the first ends with its own package.  Then a download stalled in
// the middle is destroyed from the test's thread: no finish, the partial file kept for later.
TEST_F(DownloadServiceTest, TargetInUseAndDestructionDuringAStall) {
  const std::string first_body = RandomBytes(400000, 31);
  const std::string second_body = RandomBytes(300000, 37);
  PlannedAnswer stall = Answer(first_body);
  stall.stall_after = 100000;
  server_.Plan("/first", stall);
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

  RecordingDownloadDelegate delegate;
  auto request = Make(server_.Url("/first"), first_body, target_);
  request->Start(&delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  ASSERT_TRUE(delegate.WaitFor([](const auto& events) { return !events.empty(); }, kWait));
  request->SetSpeedLimit(64);  // reaches the running transfer
  request->SetUrgent(true);
  request.reset();
  ASSERT_TRUE(FlushNetworkThread());
  EXPECT_FALSE(delegate.Finish());
  EXPECT_FALSE(Exists(target_));
  EXPECT_TRUE(Exists(target_ + ".part"));
  server_.ReleaseStalls();
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
    std::atomic<int> late{0};  // notifications still running after Stop returned
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (int i = 0; i < kDownloads; ++i) {
    Run& run = *runs.emplace_back(std::make_unique<Run>());
    run.request = Make(server_.Url("/f"), body, dir_ + "/p" + std::to_string(i));
    run.request->SetProgressInterval(0);  // a notification for every piece received
    run.delegate.on_event = [&run](DownloadServiceRequest*, const DownloadEvent&) {
      const bool before = run.stop_returned.load();
      std::this_thread::yield();
      run.late += (before || run.stop_returned.load()) ? 1 : 0;
    };
    run.request->Start(&run.delegate);
  }
  // Each request is stopped by several threads at once, at different points of its run (some
  // perhaps after it finished, which is allowed).
  std::vector<std::thread> stoppers;
  for (int i = 0; i < kDownloads; ++i) {
    for (int t = 0; t < kStoppers; ++t) {
      stoppers.emplace_back([&run = *runs[i], i] {
        run.delegate.WaitFor(
            [&](const auto& events) {
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
  for (int i = 0; i < kDownloads; ++i) {
    SCOPED_TRACE(i);
    Run& run = *runs[i];
    const size_t seen = run.delegate.Events().size();
    run.request.reset();
    ASSERT_TRUE(FlushNetworkThread());
    EXPECT_EQ(run.late.load(), 0);
    EXPECT_EQ(run.delegate.Events().size(), seen) << "notified after Stop";
    EXPECT_EQ(Exists(dir_ + "/p" + std::to_string(i)), run.delegate.Finish().has_value());
  }
}

TEST_F(DownloadServiceTest, MisuseAndThrowingDelegatesChangeNothing) {
  const std::string body = RandomBytes(2 * 1024 * 1024, 17);
  server_.Serve("/f", body);
  RecordingDownloadDelegate stopped_delegate;
  auto stopped = Make(server_.Url("/f"), body, dir_ + "/stopped");
  stopped->Stop(0);
  stopped->Start(&stopped_delegate);  // after Stop: ignored

  RecordingDownloadDelegate delegate;
  delegate.on_event = [](DownloadServiceRequest*, const DownloadEvent& event) {
    if (event.kind != DownloadEvent::kFinish) {
      throw std::runtime_error("host code failed");
    }
  };
  auto request = Make(server_.Url("/f"), body, target_);
  request->Start(&delegate);
  request->Start(&delegate);  // a second start: ignored
  ASSERT_TRUE(delegate.WaitForFinish(kWait));
  ASSERT_TRUE(FlushNetworkThread());
  EXPECT_EQ(delegate.Finish()->error, kDownloadOk);
  ExpectWellFormed(delegate.Events(), static_cast<int64_t>(body.size()));
  EXPECT_TRUE(stopped_delegate.Events().empty());
  EXPECT_EQ(server_.RequestCount(), 1u);
  // The gate was left after each throw: Stop from this thread does not wait forever.
  request->Stop(0);
}

// At exit, with transfers running and stalled, the process ends cleanly and no notification
// runs once the SDK has declared the exit.
DownloadServiceRequest* g_left_running[2];

TEST(DownloadServiceExitTest, ProcessExitsCleanlyWithDownloadsRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string prefix = "/tmp/tavori_exit_test_";
  EXPECT_EXIT(
      {
        auto* server = new ScriptedServer();  // left to the exit, like the downloads
        const std::string body = RandomBytes(4 * 1024 * 1024);
        PlannedAnswer stall = test::Respond(200, body);
        stall.stall_after = 100000;
        server->Plan("/stall", stall);
        server->Serve("/f", body);
        auto* stalled_delegate = new RecordingDownloadDelegate();
        auto* busy_delegate = new RecordingDownloadDelegate();
        for (auto* delegate : {stalled_delegate, busy_delegate}) {
          delegate->on_event = [](DownloadServiceRequest*, const DownloadEvent&) {
            if (internal::IsExiting()) {
              std::fprintf(stderr, "notified during exit\n");
              _exit(3);
            }
          };
        }
        auto stalled = Make(server->Url("/stall"), body, prefix + "stall");
        stalled->Start(stalled_delegate);
        auto busy = Make(server->Url("/f"), body, prefix + "busy");
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
  for (const char* name : {"stall.part", "stall.part.info", "busy.part", "busy.part.info"}) {
    std::filesystem::remove(prefix + name);
  }
}

}  // namespace
}  // namespace tavorisdk
