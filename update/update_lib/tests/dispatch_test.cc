// The exports and the command envelope, driven through the real library.

#include "library_host.h"

namespace update_test {
namespace {

using DispatchTest = LibraryTest;

TEST_F(DispatchTest, EnvelopeResultsAndRecords) {
  struct Case {
    std::string request;
    int expected;
    std::string record;  // the text of the expected level-3 record; "" for none
  } cases[] = {
      {"", 1, "bad command:"},
      {"5", 1, "bad command:5"},
      {R"({"version":"1.0","command":"check_upgrade"} trailing)", 1, "bad command:{"},
      {R"([])", 1, "bad version:null"},
      {R"({"version":1.0,"command":"check_upgrade"})", 1, "bad version:1.0"},
      {R"({"version":"1.0","command":5})", 1, "bad command:5"},
      {R"({"version":"1.0","command":"Check_upgrade"})", 2, ""},
      {R"({"command":"nothing","version":"1.0","extra":[1,2]})", 2, ""},
  };
  host_->SetInitSDK(true);
  for (const Case& c : cases) {
    const size_t before = env_->Log().size();
    EXPECT_EQ(host_->Do(c.request), c.expected) << c.request;
    const std::string added = env_->Log().substr(before);
    EXPECT_EQ(added.find(" L3 update_lib:") != std::string::npos &&
                  added.find(" DoUpdateOperation: " + c.record) != std::string::npos,
              !c.record.empty())
        << added;
  }
  // None of them created the update operation, so the SDK was not started; the first accepted
  // command starts it.
  EXPECT_FALSE(env_->Logged("init tavori sdk"));
  EXPECT_EQ(host_->Do(Command("cancel_download", 0)), 0);
  EXPECT_TRUE(env_->Logged("init tavori sdk"));
}

TEST_F(DispatchTest, TokenRules) {
  struct Step {
    std::string request;
    int expected;
  } steps[] = {
      // A token that is not an integer reads as 0; so does a missing one.
      {R"({"version":"1.0","command":"download","token":0.5})", 8},
      // A check refused for its parameters has still made its token the current one.
      {Command("check_upgrade", 5).dump(), 1},
      {Command("download", 5).dump(), 8},  // no check answer is stored yet
      {Command("download", 6).dump(), 11},
      {Command("cancel_download", 6).dump(), 11},
      {Command("cancel_download", 5).dump(), 0},
      {R"({"version":"1.0","command":"cancel_download","token":5})", 0},
      {R"({"version":"1.0","command":"check_upgrade","token":"7"})", 1},
      // "install" ignores the token, also a missing one.
      {R"({"version":"1.0","command":"install","parameters":{}})", 1},
      {Command("install", 123456).dump(), 1},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(host_->Do(step.request), step.expected) << step.request;
  }
}

}  // namespace
}  // namespace update_test
