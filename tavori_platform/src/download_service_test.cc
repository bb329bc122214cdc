#include <gtest/gtest.h>

#include "src/test_support/download_service_fixture.h"

namespace tavorisdk::download_test {
namespace {

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
  const auto size = static_cast<int64_t>(body.size());
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

}  // namespace
}  // namespace tavorisdk::download_test
