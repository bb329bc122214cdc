#include "src/network_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "src/task_queue.h"

namespace tavorisdk::internal {
namespace {

using namespace std::chrono_literals;

// Order on the network thread: tasks in the order posted, a RunSoon task before anything queued,
// delayed tasks by due time, a cancelled one never.
TEST(NetworkThreadTest, TasksRunInOrderSoonTasksFirstDelayedByDueTime) {
  NetworkThread& network = NetworkThread::Get();
  EXPECT_FALSE(network.IsCurrent());
  std::mutex mu;
  std::condition_variable changed;
  std::vector<std::string> journal;
  const auto add = [&](std::string entry) {
    std::lock_guard<std::mutex> lock(mu);
    journal.push_back(std::move(entry));
    changed.notify_all();
  };
  network.PostTask([&] {
    network.PostTask([&] {
      add(network.IsCurrent() ? "a on network" : "a elsewhere");
      network.RunSoon([&] { add("soon after a"); });
      network.PostTask([&] {
        add("posted from a");
        network.PostDelayedTask(60ms, [&] { add("late"); });
        const uint64_t cancelled = network.PostDelayedTask(30ms, [&] { add("cancelled"); });
        network.PostDelayedTask(10ms, [&] { add("early"); });
        network.CancelDelayedTask(cancelled);
      });
    });
    network.PostTask([&] { add("b"); });
  });
  std::unique_lock<std::mutex> lock(mu);
  ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return journal.size() >= 6; }));
  EXPECT_EQ(journal, (std::vector<std::string>{"a on network", "soon after a", "b", "posted from a",
                                               "early", "late"}));
}

// How long the loop may sleep: forever with nothing due (an idle loop is never woken), until
// the next delayed task, and not at all with posted work waiting or after the quit.
TEST(TaskQueueTest, WaitLastsUntilSomethingIsDue) {
  TaskQueue queue;
  EXPECT_EQ(queue.WaitMs(), TaskQueue::kWaitForever);
  const uint64_t later = queue.PostDelayed(60s, [] {});
  queue.PostDelayed(50ms, [] {});
  EXPECT_GT(queue.WaitMs(), 0);
  EXPECT_LE(queue.WaitMs(), 50);
  queue.Post([] {});
  EXPECT_EQ(queue.WaitMs(), 0);
  queue.RunPosted();
  EXPECT_GT(queue.WaitMs(), 0);
  while (queue.WaitMs() > 0) {
    queue.WaitForWork();  // until the 50 ms task is due
  }
  queue.RunDueDelayed();
  EXPECT_GT(queue.WaitMs(), 50'000);
  queue.CancelDelayed(later);
  EXPECT_EQ(queue.WaitMs(), TaskQueue::kWaitForever);
  queue.Quit();
  EXPECT_EQ(queue.WaitMs(), 0);
  queue.WaitForWork();  // no wait at all
}

}  // namespace
}  // namespace tavorisdk::internal
