#include "src/update_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "util/crypto/crypto.h"

namespace update_service {
namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A running service on a loopback port over a fresh folder, its log in a file.
class UpdateServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    package_ = base::test::RandomBytes(3 << 20);
    WriteFile(dir_.Child("full.exe"), package_);
    WriteFile(dir_.Child("manifest.json"),
              R"({"version":"3.3.0.0","package":"full.exe","policy":1,
                  "rules":[{"when":{"from":1},"policy":2}]})");
    log_ = fopen(dir_.Child("requests.log").c_str(), "w");
    service_ = std::make_unique<UpdateService>(
        ServiceOptions{dir_.Child("manifest.json"), dir_.path(), "", "/check", log_});
    port_ = service_->Listen("127.0.0.1", 0);
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { service_->Run(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }
  void TearDown() override {
    StopService();
    fclose(log_);
  }
  // Returns once every request has been answered and logged (httplib joins its workers).
  void StopService() {
    service_->Stop();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  httplib::Result Get(const std::string& target, const httplib::Headers& headers = {}) {
    return client_->Get(target, headers);
  }

  base::test::ScopedTempDir dir_;
  std::string package_;
  FILE* log_ = nullptr;
  std::unique_ptr<UpdateService> service_;
  int port_ = 0;
  std::thread thread_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(UpdateServiceTest, AnswersChecksWithTheMeasuredPackage) {
  auto check = Get("/check?x=1&time=5&from=1&appver=3.2.0.1&enable_patch=0");
  ASSERT_TRUE(check);
  ASSERT_EQ(check->status, 200);
  const nlohmann::json answer = nlohmann::json::parse(check->body);
  EXPECT_EQ(answer["upgrade_policy"], 2);
  EXPECT_EQ(answer["version"], "3.3.0.0");
  EXPECT_EQ(answer["size"], package_.size());
  EXPECT_EQ(answer["md5"], util::crypto::Md5(package_));
  const std::string url = answer["package_url"];
  const std::string prefix = "http://127.0.0.1:" + std::to_string(port_);
  ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
  auto body = Get(url.substr(prefix.size()));
  ASSERT_TRUE(body);
  EXPECT_EQ(body->status, 200);
  EXPECT_TRUE(body->body == package_);

  // An up-to-date client hears policy 0 alone; the manifest is read again for every check.
  EXPECT_EQ(Get("/check?appver=3.3.0.0&enable_patch=0")->body, R"({"upgrade_policy":0})");
  WriteFile(dir_.Child("manifest.json"),
            R"({"version":"9.0.0.0","package":"full.exe","policy":4})");
  EXPECT_EQ(nlohmann::json::parse(Get("/check?appver=3.3.0.0")->body)["upgrade_policy"], 4);

  // One line per request in the log.
  StopService();
  fflush(log_);
  const std::string log = base::test::ReadFileToString(dir_.Child("requests.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_NE(log.find("\"GET /check?x=1&time=5&from=1&appver=3.2.0.1&enable_patch=0\" 200"),
            std::string::npos)
      << log;
}

TEST_F(UpdateServiceTest, RefusesWhatItCannotAnswer) {
  EXPECT_EQ(Get("/check?appver=3.2")->status, 400);
  EXPECT_EQ(Get("/check?appver=3.2.0.1", {{"Host", "evil\"host"}})->status, 400);
  WriteFile(dir_.Child("manifest.json"),
            R"({"version":"3.3.0.0","package":"gone.exe","policy":1})");
  EXPECT_EQ(Get("/check?appver=3.2.0.1")->status, 500);
  WriteFile(dir_.Child("manifest.json"), "{");
  EXPECT_EQ(Get("/check?appver=3.2.0.1")->status, 500);
  // Only regular files directly in the folder are served: no way out, no link followed.
  ASSERT_EQ(symlink("/etc/passwd", dir_.Child("link.exe").c_str()), 0);
  ASSERT_EQ(mkfifo(dir_.Child("fifo.exe").c_str(), 0600), 0);
  for (const char* target : {"/packages/link.exe", "/packages/fifo.exe", "/packages/..%2Fx",
                             "/packages/%2E%2E", "/packages/missing.exe", "/packages/"}) {
    auto result = Get(target);
    ASSERT_TRUE(result) << target;
    EXPECT_EQ(result->status, 404) << target;
  }
}

TEST_F(UpdateServiceTest, ServesRangesOfTheVersionTheClientHas) {
  auto head = client_->Head("/packages/full.exe");
  ASSERT_TRUE(head);
  const std::string etag = head->get_header_value("ETag");
  const std::string modified = head->get_header_value("Last-Modified");
  EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(package_.size()));
  EXPECT_EQ(head->get_header_value("Accept-Ranges"), "bytes");

  const size_t from = package_.size() - 1000;
  const std::string tail = "bytes=" + std::to_string(from) + "-";
  const std::string past = "bytes=" + std::to_string(package_.size()) + "-";
  const struct {
    std::string range;
    std::string if_range;
    int status;
    std::string body;
  } cases[] = {
      {tail, "", 206, package_.substr(from)},
      {tail, etag, 206, package_.substr(from)},
      {tail, modified, 206, package_.substr(from)},
      {tail, "\"another\"", 200, package_},  // the file changed since: all of it again
      {"bytes=10-19", "", 206, package_.substr(10, 10)},
      {"bytes=-5", "", 206, package_.substr(package_.size() - 5)},
      {"bytes=0-1,5-6", "", 200, package_},  // several ranges: the whole file
      {past, "", 416, "range not satisfiable\n"},
  };
  for (const auto& c : cases) {
    httplib::Headers headers = {{"Range", c.range}};
    if (!c.if_range.empty()) {
      headers.emplace("If-Range", c.if_range);
    }
    auto result = Get("/packages/full.exe", headers);
    ASSERT_TRUE(result) << c.range << " " << c.if_range;
    EXPECT_EQ(result->status, c.status) << c.range << " " << c.if_range;
    EXPECT_TRUE(result->body == c.body)
        << c.range << " " << c.if_range << " got " << result->body.size();
  }
}

}  // namespace
}  // namespace update_service
