#include "src/network_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tavorisdk::internal {
namespace {

using namespace std::chrono_literals;

// Collects what tasks record, and lets the test wait for a count.
class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    EXPECT_TRUE(changed_.wait_for(lock, 30s, [&] { return entries_.size() >= count; }));
    return entries_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

TEST(NetworkThreadTest, TasksRunInOrderOnTheNetworkThreadAndSoonTasksFirst) {
  NetworkThread& network = NetworkThread::Get();
  EXPECT_FALSE(network.IsCurrent());
  Journal journal;
  // Both posted before either runs.
  network.PostTask([&] {
    network.PostTask([&] {
      journal.Add(network.IsCurrent() ? "a on network" : "a elsewhere");
      network.RunSoon([&] { journal.Add("soon after a"); });
      network.PostTask([&] { journal.Add("posted from a"); });
    });
    network.PostTask([&] { journal.Add("b"); });
  });
  EXPECT_EQ(journal.WaitFor(4),
            (std::vector<std::string>{"a on network", "soon after a", "b", "posted from a"}));
}

TEST(NetworkThreadTest, DelayedTasksRunByDueTimeAndCanBeCancelled) {
  NetworkThread& network = NetworkThread::Get();
  Journal journal;
  network.PostTask([&] {
    network.PostDelayedTask(60ms, [&] { journal.Add("late"); });
    const uint64_t cancelled = network.PostDelayedTask(30ms, [&] { journal.Add("cancelled"); });
    network.PostDelayedTask(10ms, [&] { journal.Add("early"); });
    network.CancelDelayedTask(cancelled);
    network.PostDelayedTask(90ms, [&] { journal.Add("last"); });
  });
  EXPECT_EQ(journal.WaitFor(3), (std::vector<std::string>{"early", "late", "last"}));
}

TEST(NetworkThreadTest, FailedTransferIsReportedLaterNotFromAddTransfer) {
  NetworkThread& network = NetworkThread::Get();
  Journal journal;
  CURL* easy = curl_easy_init();
  network.PostTask([&] {
    // Adding the same handle twice: the second add fails and is reported on a
    // later turn.
    curl_easy_setopt(easy, CURLOPT_URL, "http://127.0.0.1:1/");
    network.AddTransfer(easy, [&](CURLcode) { journal.Add("first done"); });
    network.RemoveTransfer(easy);
    network.AddTransfer(easy, [&](CURLcode code) {
      journal.Add(code == CURLE_COULDNT_CONNECT ? "refused" : "other");
    });
    journal.Add("added");
  });
  EXPECT_EQ(journal.WaitFor(2), (std::vector<std::string>{"added", "refused"}));
  network.PostTask([&] {
    curl_easy_cleanup(easy);
    journal.Add("freed");
  });
  journal.WaitFor(3);
}

}  // namespace
}  // namespace tavorisdk::internal
