// The fault matrix, network side: what a host sees, and what is left on disk, when the update
// service or the package server misbehaves.  Each row drives the real library through its
// exports against a scripted server on loopback, asserts the outcome and the time it took, and
// then records itself for the README's table (fault_table.h).  One family of rows per server,
// one driver each; every row runs in a process of its own (the library is process-wide).

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>

#include "base/test/file_contents.h"
#include "fault_table.h"
#include "library_host.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using tavorisdk::test::PlannedAnswer;
using tavorisdk::test::RecordedRequest;
using tavorisdk::test::Respond;
using tavorisdk::test::ScriptedServer;
using Clock = std::chrono::steady_clock;

// The library's own bounds: a check ends within 30 s, retries included; a download attempt that
// receives nothing for 30 s (libcurl averages the rate over the last few seconds, so up to 36 s
// after a burst) is dropped and retried, after 0.5 s, 1 s and 2 s.  Each row waits for its
// outcome no longer than the bound that applies plus room for a loaded machine.
constexpr auto kCheckBound = 30s;
constexpr auto kStallBound = 36s;
constexpr auto kRetryDelays = 3500ms;
constexpr auto kSlack = 10s;

constexpr size_t kPackageSize = 1 << 20;
constexpr size_t kCutStep = 100000;  // body bytes a cutting or stalling answer sends
const char kEtag[] = "\"v1\"";

// Nothing listens at loopback port 1 (privileged, and no test server takes it): connections are
// refused.
const char kRefusingServer[] = "http://127.0.0.1:1";

const std::string& Package() {
  static const std::string package = base::test::RandomBytes(kPackageSize, 13);
  return package;
}

// The package (or |body|) with its ETag, ranges honoured; cut or stalled when asked.
PlannedAnswer Whole(std::string body = Package()) {
  return {.body = std::move(body), .etag = kEtag};
}
PlannedAnswer CutAfter(size_t bytes) {
  return {.body = Package(), .cut_after = bytes, .etag = kEtag};
}
PlannedAnswer StallAfter(size_t bytes) {
  return {.body = Package(), .stall_after = bytes, .etag = kEtag};
}
PlannedAnswer StallBeforeHeaders() {
  return {.body = Package(), .stall_before_headers = true, .etag = kEtag};
}
const PlannedAnswer kToLocalFile{.status = 302, .headers = {{"Location", "file:///etc/passwd"}}};

// A host with a scripted server.  The test's thread only; the server and the delegate guard
// their own state against the threads that answer and deliver.
class NetworkFaultTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    server_ = std::make_unique<ScriptedServer>();
    host_->SetInitSDK(true);
    host_->SetDelegate(&delegate_);
  }

  int Check(int64_t token, const std::string& url) const {
    return host_->Do(Command(
        "check_upgrade", token,
        {{"app_from", "tavoriapp"}, {"from_where", 2}, {"cgi_url", url}, {"enable_patch", 0}}));
  }
  static std::string Offer(const std::string& package_url) {
    return Json{{"upgrade_policy", 2},
                {"version", "9.9.9.9"},
                {"package_url", package_url},
                {"size", Package().size()},
                {"md5", util::crypto::Md5(Package())}}
        .dump();
  }
  // The Range header of each request to |path|, from the |first|-th on.
  std::vector<std::string> RangesAsked(const std::string& path, size_t first = 0) const {
    std::vector<std::string> ranges;
    size_t seen = 0;
    for (const RecordedRequest& request : server_->Requests()) {
      if (request.path != path || seen++ < first) {
        continue;
      }
      ranges.push_back(request.Header("range"));
      if (!ranges.back().empty()) {
        EXPECT_EQ(request.Header("if-range"), kEtag) << "a resume without its validator";
      }
    }
    return ranges;
  }
  // The names in the default download directory, sorted.
  std::vector<std::string> DownloadedFiles() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(env_->download_dir(), error)) {
      names.push_back(entry.path().filename().string());
    }
    std::ranges::sort(names);
    return names;
  }
  size_t EventCount(const std::string& command) const {
    const std::vector<std::string> names = delegate_.Commands();
    return static_cast<size_t>(std::ranges::count(names, command));
  }

  std::unique_ptr<ScriptedServer> server_;
};

// --- The update service ---

struct ServiceRow {
  const char* name;
  bool refuse = false;         // nothing listens at the service's address
  PlannedAnswer answer = {};   // every answer of the service otherwise
  bool release_stall = false;  // lets a stalled answer go once the request waits
  bool answered = false;       // whether "cgi_response" follows
  size_t requests = 1;         // the requests the service receives, retries included
  const char* record = "";     // a log record the failure leaves
  fault_table::Row table;
};

void PrintTo(const ServiceRow& row, std::ostream* out) { *out << row.name; }

const std::string kAnswer = R"({"upgrade_policy":0,"version":"9.9.9.9"})";

std::vector<ServiceRow> ServiceRows() {
  const PlannedAnswer cut{.body = kAnswer,
                          .announced_length = static_cast<int64_t>(kAnswer.size()) + 100};
  const std::string nested =
      R"({"upgrade_policy":0,"x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::string huge = R"({"upgrade_policy":0,"x":")" + std::string(5 << 20, 'x') + R"("})";
  const char* kNothing = "nothing";
  return {
      {.name = "RefusesConnections",
       .refuse = true,
       .requests = 0,
       .record = "CGI request failed: Couldn't connect to server",
       .table = {"update service", "refuses connections",
                 "no event (tried 3 times over 1.5 s); the next check is answered", kNothing}},
      {.name = "AnswersSlowly",
       .answer = {.body = kAnswer, .stall_before_headers = true},
       .release_stall = true,
       .answered = true,
       .table = {"update service", "answers only after the client has waited",
                 "\"cgi_response\" with the answer", kNothing}},
      {.name = "Stalls",
       .answer = {.body = kAnswer, .stall_before_headers = true},
       .record = "CGI request failed: Timeout was reached",
       .table = {"update service", "accepts the connection and never answers",
                 "no event; the check is given up after 30 s; the next check is answered",
                 kNothing}},
      {.name = "Answers404",
       .answer = Respond(404, "not here"),
       .table = {"update service", "answers 404", "no event, no retry; the next check is answered",
                 kNothing}},
      {.name = "Answers503",
       .answer = Respond(503, "busy"),
       .requests = 3,
       .table = {"update service", "answers 503 every time",
                 "no event (tried 3 times over 1.5 s); the next check is answered", kNothing}},
      {.name = "CutsTheBody",
       .answer = cut,
       .requests = 3,
       .record = "CGI request failed: Transferred a partial file",
       .table = {"update service", "cuts its answer short",
                 "no event (tried 3 times over 1.5 s); the next check is answered", kNothing}},
      {.name = "RedirectsToALocalFile",
       .answer = kToLocalFile,
       .record = "CGI request failed: Unsupported protocol",
       .table = {"update service", "redirects to file:///etc/passwd",
                 "no event, the file is not read; the next check is answered", kNothing}},
      {.name = "AnswersGarbage",
       .answer = Respond(200, "<html><body>Bad Gateway</body></html>"),
       .record = "parse json error!",
       .table = {"update service", "answers 200 with text that is not JSON",
                 "no event; the next check is answered", kNothing}},
      {.name = "AnswersHugely",
       .answer = Respond(200, huge),
       .record = "CGI request failed: Maximum file size exceeded",
       .table = {"update service", "answers 5 MiB (more than the 4 MiB allowed)",
                 "no event; the next check is answered", kNothing}},
      {.name = "AnswersDeeplyNested",
       .answer = Respond(200, nested),
       .record = "parse json error!",
       .table = {"update service", "answers JSON nested 100000 deep",
                 "no event (256 levels at most); the next check is answered", kNothing}},
  };
}

class ServiceFaultTest : public NetworkFaultTest, public testing::WithParamInterface<ServiceRow> {};

TEST_P(ServiceFaultTest, EndsWithinTheBoundAndTheNextCheckWorks) {
  const ServiceRow& row = GetParam();
  server_->SetDefault("/fault", row.answer);
  const std::string url =
      (row.refuse ? kRefusingServer + std::string("/fault") : server_->Url("/fault")) +
      "?client=host";
  const auto start = Clock::now();
  ASSERT_EQ(Check(1, url), 0);
  if (row.release_stall) {
    ASSERT_TRUE(server_->WaitForStall(kCheckBound));
    server_->ReleaseStalls();
  }
  if (row.answered) {
    const auto event = delegate_.WaitFor("cgi_response", 1, kCheckBound + kSlack);
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["parameters"]["response_data"], kAnswer);
  } else {
    // The library's only trace of an unusable answer: it has handled the check.
    ASSERT_TRUE(env_->WaitForLog("response data", kCheckBound + kSlack));
    EXPECT_LE(Clock::now() - start, kCheckBound + kSlack);
    EXPECT_EQ(EventCount("cgi_response"), 0u);
    EXPECT_TRUE(env_->WaitForLog(row.record, kSlack)) << row.record;
  }
  EXPECT_EQ(server_->Requests().size(), row.requests);

  // Nothing is stuck: the next check is answered.
  server_->Plan("/check", Respond(200, kAnswer));
  ASSERT_EQ(Check(2, server_->Url("/check") + "?client=host"), 0);
  const auto next = delegate_.WaitFor("cgi_response", row.answered ? 2 : 1);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)["token"], 2);
  EXPECT_EQ((*next)["parameters"]["response_data"], kAnswer);
  EXPECT_EQ(DownloadedFiles(), std::vector<std::string>{});
  fault_table::Record(row.table);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServiceFaultTest, testing::ValuesIn(ServiceRows()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The package server ---

struct PackageRow {
  const char* name;
  bool refuse = false;                                   // nothing listens at the package's address
  std::vector<PlannedAnswer> planned = {};               // the first answers, in order
  std::optional<PlannedAnswer> fallback = std::nullopt;  // every later one; none: the package
  int err_code = 0;                                      // of "download_finish"
  std::vector<std::string> ranges = {};  // the Range header of each request ("" none)
  std::chrono::milliseconds bound = {};  // the outcome arrives within this
  // A second "download" afterwards: its "err_code" and the Range headers of its requests.
  std::optional<int> later_err_code = std::nullopt;
  std::vector<std::string> later_ranges = {};
  fault_table::Row table = {};
};

void PrintTo(const PackageRow& row, std::ostream* out) { *out << row.name; }

std::string From(size_t offset) { return "bytes=" + std::to_string(offset) + "-"; }

std::vector<PackageRow> PackageRows() {
  PlannedAnswer ignores_range = Whole();
  ignores_range.honour_range = false;
  const PlannedAnswer longer{.body = Package() + std::string(4096, 'x'),
                             .announced_length = static_cast<int64_t>(kPackageSize)};
  std::string corrupt = Package();
  corrupt[kPackageSize / 2] ^= 1;
  const PlannedAnswer loop{.status = 302, .headers = {{"Location", "/p.exe"}}};
  const std::chrono::milliseconds quick = kRetryDelays + kSlack;
  const std::chrono::milliseconds stalled = kStallBound + kRetryDelays + kSlack;
  const char* kVerified = "the verified package at the target, nothing else";
  const char* kNothing = "nothing: no file at the target, no partial file";
  return {
      {.name = "CutOnce",
       .planned = {CutAfter(kCutStep)},
       .ranges = {"", From(kCutStep)},
       .bound = quick,
       .table = {"package server", "cuts the transfer once",
                 "\"download_finish\" 0 after resuming (Range, If-Range)", kVerified}},
      {.name = "CutFiveTimes",
       .planned = std::vector<PlannedAnswer>(5, CutAfter(kCutStep)),
       .err_code = 1,
       .ranges = {"", From(kCutStep), From(2 * kCutStep), From(3 * kCutStep)},
       .bound = quick,
       .later_err_code = 0,
       .later_ranges = {From(4 * kCutStep), From(5 * kCutStep)},
       .table = {"package server", "cuts the transfer five times",
                 "\"download_finish\" 1 after 3 resumes; the next \"download\" resumes and "
                 "gives 0",
                 "after the failure no file at the target, the partial file kept; then the "
                 "verified package"}},
      {.name = "StallsBeforeTheHeaders",
       .planned = {StallBeforeHeaders()},
       .ranges = {"", ""},
       .bound = stalled,
       .table = {"package server", "stalls before the headers, once",
                 "\"download_finish\" 0 after 30 s of silence and a retry", kVerified}},
      {.name = "StallsAfterTheHeaders",
       .planned = {StallAfter(kCutStep)},
       .ranges = {"", From(kCutStep)},
       .bound = stalled,
       .table = {"package server", "stalls in the body, once",
                 "\"download_finish\" 0 after 30-36 s of silence and a resume", kVerified}},
      {.name = "ServesWrongBytes",
       .fallback = Whole(corrupt),
       .err_code = 4,
       .ranges = {""},
       .bound = quick,
       .table = {"package server", "serves other bytes of the right size", "\"download_finish\" 4",
                 kNothing}},
      {.name = "ServesAnotherSize",
       .fallback = Whole(Package().substr(0, kPackageSize / 2)),
       .err_code = 3,
       .ranges = {""},
       .bound = quick,
       .table = {"package server", "serves a file of another size",
                 "\"download_finish\" 3, before the body", kNothing}},
      {.name = "SendsMoreThanAnnounced",
       .fallback = longer,
       .ranges = {""},
       .bound = quick,
       .table = {"package server", "sends more bytes than its Content-Length",
                 "\"download_finish\" 0; the bytes past the announced length are ignored",
                 kVerified}},
      {.name = "IgnoresRanges",
       .planned = {CutAfter(kCutStep), ignores_range},
       .ranges = {"", From(kCutStep)},
       .bound = quick,
       .table = {"package server", "cuts the transfer, then ignores the range asked for",
                 "\"download_finish\" 0, the package fetched again from byte 0", kVerified}},
      {.name = "RedirectsInALoop",
       .fallback = loop,
       .err_code = 1,
       .ranges = std::vector<std::string>(11, ""),
       .bound = quick,
       .table = {"package server", "redirects to itself",
                 "\"download_finish\" 1 after 10 redirects", kNothing}},
      {.name = "RedirectsToALocalFile",
       .fallback = kToLocalFile,
       .err_code = 6,
       .ranges = {""},
       .bound = quick,
       .table = {"package server", "redirects to file:///etc/passwd",
                 "\"download_finish\" 6, the file is not read", kNothing}},
      {.name = "Answers503ThenThePackage",
       .planned = {Respond(503, "busy")},
       .ranges = {"", ""},
       .bound = quick,
       .table = {"package server", "answers 503, then the package",
                 "\"download_finish\" 0 after a retry 0.5 s later", kVerified}},
      {.name = "Answers404",
       .fallback = Respond(404, "not here"),
       .err_code = 2,
       .ranges = {""},
       .bound = quick,
       .table = {"package server", "answers 404", "\"download_finish\" 2, no retry", kNothing}},
      {.name = "RefusesConnections",
       .refuse = true,
       .err_code = 1,
       .bound = quick,
       .table = {"package server", "refuses connections",
                 "\"download_finish\" 1 after 3 retries (3.5 s)", kNothing}},
  };
}

class PackageFaultTest : public NetworkFaultTest, public testing::WithParamInterface<PackageRow> {
 protected:
  // Sends "download" (the |nth| of the run) and checks its one "download_finish" and what it
  // left in the download directory.
  void Download(size_t nth, int err_code, std::chrono::milliseconds bound,
                const std::string& target, bool part_kept) {
    ASSERT_EQ(host_->Do(Command("download", 1)), 0);
    const auto finish = delegate_.WaitFor("download_finish", nth, bound);
    ASSERT_TRUE(finish) << "no outcome within " << bound.count() << " ms";
    EXPECT_EQ((*finish)["parameters"], (Json{{"err_code", err_code}, {"path", target}}));
    EXPECT_EQ(EventCount("download_finish"), nth);
    const std::string name = fs::path(target).filename().string();
    std::vector<std::string> expected;
    if (err_code == 0) {
      expected = {name};
      EXPECT_TRUE(base::test::ReadFileToString(target) == Package()) << "not the package";
    } else if (part_kept) {
      expected = {name + ".part", name + ".part.info"};
    }
    EXPECT_EQ(DownloadedFiles(), expected);
  }
};

TEST_P(PackageFaultTest, EndsAsPromisedWithNothingUnverifiedAtTheTarget) {
  const PackageRow& row = GetParam();
  const std::string url =
      row.refuse ? kRefusingServer + std::string("/p.exe") : server_->Url("/p.exe");
  for (const PlannedAnswer& answer : row.planned) {
    server_->Plan("/p.exe", answer);
  }
  server_->SetDefault("/p.exe", row.fallback.value_or(Whole()));
  server_->Plan("/check", Respond(200, Offer(url)));
  ASSERT_EQ(Check(1, server_->Url("/check") + "?client=host"), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  const std::string target = env_->download_dir() + util::crypto::Md5(url) + ".exe";

  Download(1, row.err_code, row.bound, target, row.later_err_code.has_value());
  EXPECT_EQ(RangesAsked("/p.exe"), row.ranges);
  if (row.later_err_code) {
    const size_t asked = RangesAsked("/p.exe").size();
    Download(2, *row.later_err_code, row.bound, target, false);
    EXPECT_EQ(RangesAsked("/p.exe", asked), row.later_ranges);
  }
  fault_table::Record(row.table);
}

INSTANTIATE_TEST_SUITE_P(Matrix, PackageFaultTest, testing::ValuesIn(PackageRows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace update_test
