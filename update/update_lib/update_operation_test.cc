// In-process tests of the update operation's pieces that the end-to-end tests cannot reach
// precisely: version comparison, and when the host's delegate may be replaced.

#include "update/update_lib/update_operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "base/test/log_capture.h"

namespace UpdateLib {
namespace {

TEST(CompareVersionTest, Table) {
  struct Case {
    const char* installed;
    const char* offered;
    int32_t expected;
  } cases[] = {
      {"1.2.3.4", "1.2.3.4", 0},
      {"2.0.0.10", "2.0.0.9", 1},  // numbers, not text
      {"2.0.0.9", "2.0.0.10", -1},
      {"10.0.0.0", "9.9.9.9", 1},
      {"007.0.0.1", "7.0.0.1", 0},
      {"-1.0.0.0", "0.0.0.0", -1},
      {"1.0.0", "1.0.0.0", 2},
      {"1.0.0.0.0", "1.0.0.0.0", 2},
      {"", "1.0.0.0", 2},
      {"1..0.0", "1.0.0.0", 2},
      {"1a.0.0.0", "1.0.0.0", 2},
      {"1.0.0.0", "1.0.0.-1", 1},  // a leading minus sign makes a negative number ...
      {"1.0.0.0", "1.0.0.0-", 2},  // ... a minus sign elsewhere is malformed
      {"1.0.0.0", " 1.0.0.0", 2},
      {"1.0.0.0", "+1.0.0.0", 2},
      // A malformed piece after the first difference is never looked at.
      {"2.0.0.x", "1.0.0.0", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateOperation::CompareVersion(c.installed, c.offered), c.expected)
        << c.installed << " vs " << c.offered;
  }
}

// Blocks inside OnUpdateEvent until released.
class BlockingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& /*event*/) override {
    std::unique_lock<std::mutex> lock(mu_);
    inside_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    inside_ = false;
  }
  void WaitUntilInside() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return inside_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = true;
    changed_.notify_all();
  }
  bool inside() {
    std::lock_guard<std::mutex> lock(mu_);
    return inside_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool inside_ = false;
  bool released_ = false;
};

class CountingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override {
    ++events;
    last = event;
  }
  std::atomic<int> events{0};
  std::string last;
};

TEST(UpdateOperationDelegateTest, ReplacingTheDelegateWaitsForDeliveriesToTheOldOne) {
  UpdateOperation* operation = UpdateOperation::GetInstance();
  BlockingDelegate old_delegate;
  operation->SetDelegate(&old_delegate);
  std::thread delivery([operation] { operation->NotifyUpdateFinished(); });
  old_delegate.WaitUntilInside();

  CountingDelegate new_delegate;
  auto replaced = std::async(std::launch::async, [&] { operation->SetDelegate(&new_delegate); });
  // Still blocked: the old delegate is inside OnUpdateEvent on the other thread.
  EXPECT_EQ(replaced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  old_delegate.Release();
  replaced.get();
  EXPECT_FALSE(old_delegate.inside());
  delivery.join();

  // Later events go to the new delegate only.
  operation->NotifyUpdateFinished();
  EXPECT_EQ(new_delegate.events.load(), 1);
  operation->SetDelegate(nullptr);
}

TEST(UpdateOperationDelegateTest, NullDelegateDropsEventsWithARecord) {
  base::test::ScopedLogCapture capture;
  UpdateOperation* operation = UpdateOperation::GetInstance();
  operation->SetDelegate(nullptr);
  operation->NotifyUpdateFinished();
  const auto records = capture.WithPrefix("update_event_delegate is nullptr");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_EQ(records[0].source, "update_operation");
  EXPECT_EQ(records[0].function, "CallEventDelegate");

  CountingDelegate delegate;
  operation->SetDelegate(&delegate);
  EXPECT_EQ(delegate.events.load(), 0);  // nothing queued for later
  operation->SetToken(42);
  operation->NotifyUpdateFinished();
  EXPECT_EQ(delegate.events.load(), 1);
  base::json::JsonValue event;
  ASSERT_EQ(event.ParseFromJson(delegate.last.data(), delegate.last.size(), 0, true), 0);
  EXPECT_EQ(event["token"].AsInteger(), 42);
  EXPECT_EQ(event["command"].AsString(), "update_finished");
  EXPECT_EQ(event.size(), 3u);
  operation->SetDelegate(nullptr);
}

}  // namespace
}  // namespace UpdateLib
