// The exports and the command envelope, driven through the real library.

#include <filesystem>

#include "update/update_lib/tests/library_host.h"

namespace update_test {
namespace {

using DispatchTest = LibraryTest;

TEST_F(DispatchTest, EnvelopeResultsAndRecords) {
  struct Case {
    std::string request;
    int expected;
    std::string record;  // expected level-3 record of DoUpdateOperation; "" for none
  } cases[] = {
      {"", 1, "bad command:"},
      {"check_upgrade", 1, "bad command:check_upgrade"},
      {"5", 1, "bad command:5"},
      {R"({"version":"1.0","command":"check_upgrade"} trailing)", 1,
       R"(bad command:{"version":"1.0","command":"check_upgrade"} trailing)"},
      {R"({"version":"1.0","version":"1.0","command":"x"})", 1, "bad command:{"},
      {R"({"command":"check_upgrade"})", 1, "bad version:null"},
      {R"({"version":1.0,"command":"check_upgrade"})", 1, "bad version:1.0"},
      {R"({"version":"1.0 ","command":"check_upgrade"})", 1, "bad version:\"1.0 \""},
      {R"({"version":"1.00","command":"check_upgrade"})", 1, "bad version:\"1.00\""},
      {R"([])", 1, "bad version:null"},
      {R"({"version":"1.0"})", 1, "bad command:null"},
      {R"({"version":"1.0","command":5})", 1, "bad command:5"},
      {R"({"version":"1.0","command":"Check_upgrade"})", 2, ""},
      {R"({"version":"1.0","command":""})", 2, ""},
      {R"({"command":"nothing","version":"1.0","extra":[1,2]})", 2, ""},
  };
  host_->SetInitSDK(true);
  for (const Case& c : cases) {
    const size_t records_before = env_->Find("", "update_lib").size();
    EXPECT_EQ(host_->Do(c.request), c.expected) << c.request;
    const std::vector<LogLine> records = env_->Find("", "update_lib");
    if (c.record.empty()) {
      EXPECT_EQ(records.size(), records_before) << c.request;
      continue;
    }
    ASSERT_EQ(records.size(), records_before + 1) << c.request;
    const LogLine& record = records.back();
    EXPECT_EQ(record.level, 3);
    EXPECT_EQ(record.function, "DoUpdateOperation");
    EXPECT_EQ(record.text.rfind(c.record, 0), 0u) << record.text;
  }
  // None of them created the update operation, so the SDK was never started.
  EXPECT_FALSE(env_->Logged("init tavori sdk"));
  EXPECT_FALSE(env_->Logged("", "tavori_platform"));
}

TEST_F(DispatchTest, LongRequestsAreCutIn1024ByteRecords) {
  const std::string request = "x" + std::string(5000, 'y');
  EXPECT_EQ(host_->Do(request), 1);
  const std::vector<LogLine> records = env_->Find("bad command:", "update_lib");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text.size(), 1024u);
}

TEST_F(DispatchTest, TokenRules) {
  // A check refused for its parameters has still made its token the current one.
  EXPECT_EQ(host_->Do(Command("check_upgrade", 5, Json::object())), 1);
  // "download" under the current token reaches the handler: no check answer is stored yet.
  EXPECT_EQ(host_->Do(Command("download", 5)), 8);
  const size_t cancels = env_->Find("CancelDownload").size();
  // A stale token cancels the running download and is refused.
  EXPECT_EQ(host_->Do(Command("download", 6)), 11);
  EXPECT_EQ(host_->Do(Command("cancel_download", 6)), 11);
  EXPECT_EQ(env_->Find("CancelDownload").size(), cancels + 2);
  // The current token is still 5.
  EXPECT_EQ(host_->Do(Command("download", 5)), 8);
  EXPECT_EQ(host_->Do(Command("cancel_download", 5)), 0);
  // A "cancel_download" without parameters works as well.
  EXPECT_EQ(host_->Do(R"({"version":"1.0","command":"cancel_download","token":5})"), 0);

  // A new token cancels the previous run's download; repeating it does not.
  const size_t before_new_token = env_->Find("CancelDownload").size();
  EXPECT_EQ(host_->Do(Command("check_upgrade", 7, Json::object())), 1);
  EXPECT_EQ(env_->Find("CancelDownload").size(), before_new_token + 1);
  EXPECT_EQ(host_->Do(Command("check_upgrade", 7, Json::object())), 1);
  EXPECT_EQ(env_->Find("CancelDownload").size(), before_new_token + 1);

  // "install" ignores the token, also a missing one.
  EXPECT_EQ(host_->Do(R"({"version":"1.0","command":"install","parameters":{}})"), 1);
  EXPECT_EQ(host_->Do(Command("install", 123456)), 1);

  // A token that is not an integer reads as 0; so does a missing one.
  EXPECT_EQ(host_->Do(R"({"version":"1.0","command":"check_upgrade","token":"7"})"), 1);
  EXPECT_EQ(host_->Do(R"({"version":"1.0","command":"download"})"), 8);
  EXPECT_EQ(host_->Do(R"({"version":"1.0","command":"download","token":0.5})"), 8);
  EXPECT_EQ(host_->Do(Command("download", 7)), 11);
}

TEST_F(DispatchTest, FirstCheckFromZeroTokenCancelsNothing) {
  EXPECT_EQ(host_->Do(Command("check_upgrade", 9, Json::object())), 1);
  EXPECT_FALSE(env_->Logged("CancelDownload"));
  // Setting token 0 while 9 is current cancels.
  EXPECT_EQ(host_->Do(Command("check_upgrade", 0, Json::object())), 1);
  EXPECT_TRUE(env_->Logged("CancelDownload"));
  EXPECT_EQ(host_->Do(Command("download", 0)), 8);
}

TEST_F(DispatchTest, InitSdkBeforeFirstUseStartsTheSdkInOrder) {
  host_->SetInitSDK(true);
  EXPECT_EQ(host_->SetDelegate(&delegate_), 0);
  std::vector<std::string> order;
  for (const LogLine& line : env_->LogLines()) {
    for (const char* step : {"InitSDK", "InitBeforeStartupSDK", "StartupSDK", "init tavori sdk"}) {
      if (line.text.rfind(step, 0) == 0) {
        order.push_back(step);
      }
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"InitSDK", "InitBeforeStartupSDK", "StartupSDK",
                                             "init tavori sdk"}));
  const std::vector<LogLine> init = env_->Find("init tavori sdk");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].level, 6);
  EXPECT_EQ(init[0].source, "update_operation");
}

TEST_F(DispatchTest, InitSdkAfterFirstUseChangesNothing) {
  EXPECT_EQ(host_->SetDelegate(nullptr), 0);
  host_->SetInitSDK(true);
  EXPECT_EQ(host_->Do(Command("cancel_download", 0)), 0);
  EXPECT_FALSE(env_->Logged("init tavori sdk"));
  EXPECT_FALSE(env_->Logged("StartupSDK"));
}

TEST_F(DispatchTest, UnknownCommandDoesNotCreateTheInstance) {
  host_->SetInitSDK(true);
  EXPECT_EQ(host_->Do(Command("reboot", 1)), 2);
  EXPECT_FALSE(env_->Logged("init tavori sdk"));
  // The flag still counts: the first accepted command creates the instance now.
  EXPECT_EQ(host_->Do(Command("cancel_download", 0)), 0);
  EXPECT_TRUE(env_->Logged("init tavori sdk"));
}

}  // namespace
}  // namespace update_test
