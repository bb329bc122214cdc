#include "base/threading/looper_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace base::threading {
namespace {

TEST(LooperThreadTest, RunsTasksInOrderOnItsOwnThreadPastThrowingOnes) {
  LooperThread looper("test");
  std::vector<int> order;
  std::atomic<bool> wrong_thread{false};
  for (int i = 0; i < 100; ++i) {
    looper.PostTask(
        [&, i] {
          wrong_thread = wrong_thread || !looper.RunsTasksOnCurrentThread();
          order.push_back(i);
          if (i % 10 == 0) {
            throw std::runtime_error("boom");
          }
        },
        FROM_HERE);
  }
  looper.Flush();
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(wrong_thread);
  EXPECT_FALSE(looper.RunsTasksOnCurrentThread());
}

TEST(LooperThreadTest, ShutdownDrainsEverythingPostedAndLaterTasksRunInline) {
  std::atomic<int> ran{0};
  LooperThread looper("drain");
  // Tasks posted from several threads, some from inside other tasks.
  std::vector<std::thread> posters;
  posters.reserve(4);
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        looper.PostTask([&] { ++ran; }, FROM_HERE);
      }
    });
  }
  for (std::thread& t : posters) {
    t.join();
  }
  looper.PostTask([&] { looper.PostTask([&] { ++ran; }, FROM_HERE); }, FROM_HERE);
  looper.Shutdown();
  EXPECT_EQ(ran.load(), 1001);
  looper.PostTask([&] { ++ran; }, FROM_HERE);
  EXPECT_EQ(ran.load(), 1002);
}

TEST(LooperThreadTest, TheFileLooperIsOneAndItsExitRunsTheStepsLastFirstThenDrains) {
  EXPECT_EQ(LooperThread::FileLooper().get(), LooperThread::FileLooper().get());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Named here: inside the exit step's lambda FROM_HERE would name the call operator.
  static const Location kPoster = FROM_HERE;
  EXPECT_EXIT(
      {
        LooperThread::RunBeforeFileLooperExit([] {
          std::fputs("first step\n", stderr);
          LooperThread::FileLooper()->PostTask([] { std::fputs("posted at exit\n", stderr); },
                                               kPoster);
        });
        LooperThread::RunBeforeFileLooperExit([] { std::fputs("second step\n", stderr); });
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "second step\nfirst step\nposted at exit\n");
}

}  // namespace
}  // namespace base::threading
