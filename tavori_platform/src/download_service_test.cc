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

// A request for |body|, its MD5 in upper case; every request it sends carries the user agent
// and header given here.
std::unique_ptr<DownloadServiceRequest> Make(const std::string& url, const std::string& body,
                                             const std::string& path) {
  auto request = CreateDownloadRequest();
  request->SetUrl(url.c_str());
  request->SetSavePath(path.c_str());
  std::string md5 = util::crypto::Md5(body);
  std::ranges::transform(md5, md5.begin(), [](char c) { return std::toupper(c); });
  request->SetMd5(md5.c_str());  // either case is taken
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

// A finished download's notifications besides retries: start, progress in steps of at least 1%
// that never goes back, a last progress at the total, one finish; all on one thread that is not
// the caller's.
void ExpectWellFormed(std::vector<DownloadEvent> events, int64_t size) {
  std::erase_if(events, [](const DownloadEvent& e) { return e.kind == DownloadEvent::kRetry; });
  ASSERT_GE(events.size(), size >= 1024 * 1024 ? 5u : 3u) << "no progress during the transfer";
  EXPECT_LE(events.size(), 103u);
  EXPECT_EQ(events.front().kind, DownloadEvent::kStart);
  EXPECT_EQ(events.back().kind, DownloadEvent::kFinish);
  EXPECT_NE(events.front().thread, std::this_thread::get_id());
  int64_t last = 0;
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, DownloadEvent::kProgress);
    EXPECT_EQ(events[i].total, size);
    EXPECT_GE(events[i].received, last);
    EXPECT_TRUE(i + 2 == events.size() || (events[i].received - last) * 100 >= size) << i;
    EXPECT_EQ(events[i].thread, events.front().thread);
    last = events[i].received;
  }
  EXPECT_EQ(last, size);
  EXPECT_EQ(events.back().thread, events.front().thread);
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
  std::vector<PlannedAnswer> plan;  // for "/f", before the body is served with ranges
  int32_t error;                    // of the finish notification, or kStopped
  std::vector<std::string> ranges;  // the Range header of each request the server received
  struct {
    std::function<void(DownloadServiceRequest&)> set = nullptr;  // before the start
    bool part = false;                  // the partial file stays for a later resume
    bool planted = false;               // an earlier run left the first 100000 bytes
    std::vector<int32_t> retried = {};  // the failures notified as retried, in order
    size_t size = 300000;               // of the body; the plan assumes the default
    // The notification from inside which the delegate stops, or destroys, its request.
    std::optional<DownloadEvent::Kind> stop_at = std::nullopt;
    bool destroy = false;
    bool throws = false;  // the delegate throws from every notification but the finish
    // Once stop_at came, two threads of the host stop the request (or the test's thread destroys
    // it), after changing its speed.
    bool by_host = false;
  } with = {};
};

TEST_F(DownloadServiceTest, OutcomesFaultsRetriesAndResumption) {
  const std::string bytes = RandomBytes(40 * 1024 * 1024);
  const std::string body = bytes.substr(0, 300000);
  std::string other = body;
  other[1000] ^= 1;
  using Request = DownloadServiceRequest;
  const auto retries = [](int n) { return [n](Request& r) { r.SetMaxRetries(n); }; };
  const auto free_space = [](int64_t less) {
    return [less](Request&) { internal::SetFreeSpaceForTesting(300000 - less); };
  };
  const auto damage_part = [&](Request&) {
    std::fstream part(target_ + ".part", std::ios::in | std::ios::out | std::ios::binary);
    part.seekp(100);
    part.put(static_cast<char>(body[100] ^ 0x55));
  };
  const auto refused = [](Request& r) {
    r.SetUrl("http://127.0.0.1:1/f");
    r.SetMaxRetries(1);
  };
  const auto stall_timeout = [](Request& r) {
    r.SetMaxRetries(0);
    r.SetStallTimeout(1);
  };
  const auto other_md5 = [&](Request& r) { r.SetMd5(util::crypto::Md5(other).c_str()); };
  const auto no_resume = [](Request& r) { r.SetResumeEnabled(false); };
  const auto not_hex = [](Request& r) { r.SetMd5("not-an-md5-but-32-characters-ok!"); };
  const auto negative_size = [](Request& r) { r.SetFileSize(-1); };
  const auto no_url = [](Request& r) { r.SetUrl(""); };
  const PlannedAnswer e503{.status = 503};
  const std::vector<PlannedAnswer> redirect{{.status = 302, .headers = {{"Location", "/to"}}}};
  const std::vector<PlannedAnswer> wrong_range{
      {.status = 206, .headers = {{"Content-Range", "bytes 0-299999/300000"}}, .body = body}};
  const std::vector<PlannedAnswer> cut_then_503{
      {.body = body, .cut_after = 150000, .etag = "\"v1\""}, e503};
  const PlannedAnswer cut_early{.body = body, .cut_after = 9};
  const PlannedAnswer stall_early{.body = body, .stall_after = 9};
  const PlannedAnswer stall_late{.body = bytes.substr(0, 4 << 20), .stall_after = 2 << 20};
  const auto every_piece = [](Request& r) { r.SetProgressInterval(0); };
  const PlannedAnswer shorter{.body = "short", .announced_length = 300000};
  const std::string kept = "bytes=100000-";
  const std::string cut = "bytes=150000-";
  constexpr int32_t kOk = kDownloadOk;
  constexpr int32_t kTransport = kDownloadErrorTransport;
  constexpr int32_t kHttp = kDownloadErrorHttpStatus;
  constexpr int32_t kLocal = kDownloadErrorLocalFile;
  constexpr int32_t kMd5 = kDownloadErrorMd5Mismatch;
  constexpr int32_t kSize = kDownloadErrorSizeMismatch;
  constexpr auto kStart = DownloadEvent::kStart;
  constexpr auto kProgress = DownloadEvent::kProgress;
  constexpr auto kRetry = DownloadEvent::kRetry;
  const Case cases[] = {
      // Larger than the hashing pool: the transfer pauses for the hasher and for progress.
      {"plain", {}, kOk, {""}, {.size = bytes.size()}},
      {"empty file", {}, kOk, {""}, {.size = 0}},
      {"redirected", redirect, kOk, {"", ""}},
      {"resumed with Range and If-Range", {}, kOk, {kept}, {.planted = true}},
      {"If-Range fails", {{.body = body, .etag = "\"v2\""}}, kOk, {kept}, {.planted = true}},
      {"wrong range: starts over", wrong_range, kOk, {kept, ""}, {.planted = true}},
      {"damaged: starts over", {}, kOk, {kept, ""}, {.set = damage_part, .planted = true}},
      {"other MD5: no resume", {}, kMd5, {""}, {.set = other_md5, .planted = true}},
      {"resume disabled", {}, kOk, {""}, {.set = no_resume, .planted = true}},
      {"cut, 503: resumed",
       cut_then_503,
       kOk,
       {"", cut, cut},
       {.set = retries(2), .retried = {kTransport, kHttp}}},
      {"503 until no retry is left",
       {e503, e503, e503},
       kHttp,
       {"", "", ""},
       {.set = retries(2), .retried = {kHttp, kHttp}}},
      {"connection refused", {}, kTransport, {}, {.set = refused, .retried = {kTransport}}},
      {"short of announced", {shorter}, kTransport, {""}, {.set = retries(0), .part = true}},
      {"connection cut", {cut_early}, kTransport, {""}, {.set = retries(0), .part = true}},
      {"stalled", {stall_early}, kTransport, {""}, {.set = stall_timeout, .part = true}},
      // Nothing that could not be verified is fetched, let alone reported as a success.
      {"MD5 not hexadecimal", {}, kMd5, {}, {.set = not_hex}},
      {"negative size", {}, kSize, {}, {.set = negative_size}},
      {"no URL", {}, kDownloadErrorBadRequest, {}, {.set = no_url}},
      {"fits the free space exactly", {}, kOk, {""}, {.set = free_space(0)}},
      {"one byte short of space", {}, kLocal, {}, {.set = free_space(1)}},
      {"the rest fits", {}, kOk, {kept}, {.set = free_space(100000), .planted = true}},
      {"rest too big", {}, kLocal, {}, {.set = free_space(100001), .part = true, .planted = true}},
      {"stopped in start", {}, kStopped, {""}, {.part = true, .stop_at = kStart}},
      {"deleted in progress",
       {},
       kStopped,
       {""},
       {.part = true, .stop_at = kProgress, .destroy = true}},
      {"stopped in retry", {e503}, kStopped, {""}, {.retried = {kHttp}, .stop_at = kRetry}},
      {"deleted in finish", {}, kOk, {""}, {.stop_at = DownloadEvent::kFinish, .destroy = true}},
      {"delegate throws", {}, kOk, {""}, {.throws = true}},
      // Stop waits for a notification in progress; none comes once it returned.
      {"stopped by the host",
       {stall_late},
       kStopped,
       {""},
       {.set = every_piece, .part = true, .size = 4 << 20, .stop_at = kProgress, .by_host = true}},
      {"destroyed by the host",
       {stall_late},
       kStopped,
       {""},
       {.part = true, .size = 4 << 20, .stop_at = kProgress, .destroy = true, .by_host = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string sent = bytes.substr(0, c.with.size);
    ScriptedServer server;
    server.Serve("/f", sent);
    server.Serve("/to", sent);
    for (const PlannedAnswer& answer : c.plan) {
      server.Plan("/f", answer);
    }
    if (c.with.planted) {
      PlantPart(target_, server.Url("/f"), sent, sent.substr(0, 100000));
    }
    std::ofstream(target_) << "old";  // whatever the outcome, it does not stay
    std::unique_ptr<DownloadServiceRequest> request = Make(server.Url("/f"), sent, target_);
    if (c.with.set) {
      c.with.set(*request);
    }
    RecordingDownloadDelegate delegate;
    std::atomic<bool> acted{false};
    std::atomic<bool> stop_returned{false};
    std::atomic<int> late{0};  // notifications still running after Stop returned
    delegate.on_event = [&](DownloadServiceRequest* from, const DownloadEvent& event) {
      const bool before = stop_returned.load();
      if (event.kind == c.with.stop_at && !c.with.by_host && !acted.exchange(true)) {
        EXPECT_EQ(from, request.get());
        c.with.destroy ? request.reset() : request->Stop(1);
      }
      if (c.with.throws && event.kind != DownloadEvent::kFinish) {
        throw std::runtime_error("host code failed");
      }
      std::this_thread::yield();
      late += (before || stop_returned.load()) ? 1 : 0;
    };
    request->Start(&delegate);
    if (!c.with.destroy) {
      request->Start(&delegate);  // ignored; a delegate that destroys the request may be done
    }
    ASSERT_TRUE(delegate.WaitForEvent(c.with.stop_at.value_or(DownloadEvent::kFinish), kWait));
    size_t seen = 0;
    if (c.with.by_host) {
      request->SetSpeedLimit(64);  // reaches the running transfer
      request->SetUrgent(true);
      std::thread other([&] { c.with.destroy ? void() : request->Stop(2); });
      c.with.destroy ? request.reset() : request->Stop(1);
      other.join();
      stop_returned = true;
      seen = delegate.All().size();
    }
    // Twice: the first lets a running notification end, the second a cancellation it posted.
    ASSERT_TRUE(FlushNetworkThread());
    ASSERT_TRUE(FlushNetworkThread());
    request.reset();
    const std::vector<DownloadEvent> events = delegate.All();
    EXPECT_EQ(late.load(), 0);
    if (c.error == kStopped) {
      EXPECT_EQ(events.back().kind, *c.with.stop_at) << "notified after Stop";
      EXPECT_TRUE(!c.with.by_host || events.size() == seen) << "notified after Stop";
      EXPECT_FALSE(delegate.Finish());
    } else {
      ASSERT_EQ(delegate.Of(DownloadEvent::kFinish).size(), 1u);
      EXPECT_EQ(delegate.Finish()->error, c.error);
    }
    if (c.error == kDownloadOk) {
      EXPECT_EQ(delegate.Finish()->path, target_);
      EXPECT_TRUE(ReadFileToString(target_) == sent);
      EXPECT_FALSE(Exists(target_ + ".part.info"));
      ExpectWellFormed(events, static_cast<int64_t>(sent.size()));
    } else if (c.error != kDownloadErrorBadRequest && c.error != kDownloadErrorLocalFile) {
      EXPECT_FALSE(Exists(target_));
    }
    EXPECT_EQ(Exists(target_ + ".part"), c.with.part);
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
  const std::string temp = root + "/Tavori/Temp";
  server_.Serve("/f", body);
  const struct {
    const char* name;
    mode_t root_mode;  // 0: nothing exists beforehand; else a link is planted below
    uid_t root_owner, temp_owner;
    bool private_root;
    int32_t error;
  } cases[] = {
      {"private root made fresh", 0, 0, 0, true, kDownloadOk},
      {"shared directory without a private root", 01777, 0, 0, false, kDownloadOk},
      {"private root of another user", 0700, 65534, 0, true, kDownloadErrorLocalFile},
      {"download directory of another user", 0700, 0, 65534, true, kDownloadErrorLocalFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(victim) << "victim data";
    if (c.root_mode != 0) {
      std::filesystem::create_directories(temp);
      ASSERT_EQ(chmod(root.c_str(), c.root_mode), 0);
      PlantPart(temp + "/p.exe", server_.Url("/f"), body, "", victim);
      ASSERT_EQ(chown(root.c_str(), c.root_owner, c.root_owner), 0);
      ASSERT_EQ(chown(temp.c_str(), c.temp_owner, c.temp_owner), 0);
    }
    const size_t requests_before = server_.RequestCount();
    RecordingDownloadDelegate delegate;
    auto request = Make(server_.Url("/f"), body, temp + "/p.exe");
    if (c.private_root) {
      request->SetPrivateRoot((root + "/").c_str());
    }
    request->Start(&delegate);
    ASSERT_TRUE(delegate.WaitForFinish(kWait));
    EXPECT_EQ(delegate.Finish()->error, c.error);
    EXPECT_EQ(ReadFileToString(victim), "victim data");
    EXPECT_EQ(ReadFileToString(temp + "/p.exe") == body, c.error == kDownloadOk);
    EXPECT_EQ(server_.RequestCount() - requests_before, c.error == kDownloadOk ? 1u : 0u);
    struct stat info {};
    ASSERT_EQ(lstat((root + "/Tavori").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 022, 0u);
    std::filesystem::remove_all(root);
  }
}

// Two downloads of different packages to one target: the second finds the partial file held and
// fails without touching it; the first ends with its own package.  A request started after Stop
// never starts.
TEST_F(DownloadServiceTest, TargetInUseAndStartAfterStop) {
  const std::string first_body = RandomBytes(400000, 31);
  const std::string second_body = RandomBytes(300000, 37);
  const PlannedAnswer stall{.body = first_body, .stall_after = 100000};
  server_.Plan("/first", stall);
  server_.Serve("/second", second_body);
  RecordingDownloadDelegate first_delegate;
  auto first = Make(server_.Url("/first"), first_body, target_);
  first->Start(&first_delegate);
  ASSERT_TRUE(server_.WaitForStall(kWait));
  // The start notification follows the creation of the partial file.
  ASSERT_TRUE(first_delegate.WaitForEvent(DownloadEvent::kStart, kWait));

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

  RecordingDownloadDelegate stopped_delegate;
  auto stopped = Make(server_.Url("/second"), second_body, dir_ + "/stopped");
  stopped->Stop(0);
  stopped->Start(&stopped_delegate);  // after Stop: ignored
  ASSERT_TRUE(FlushNetworkThread());
  EXPECT_TRUE(stopped_delegate.All().empty());
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
        server->Plan("/stall", {.body = body, .stall_after = 100000});
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
