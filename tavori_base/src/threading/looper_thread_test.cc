#include "base/threading/looper_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace base::threading {
namespace {

TEST(LooperThreadTest, RunsTasksInOrderOnItsOwnThread) {
  LooperThread looper("test");
  std::vector<int> order;
  std::atomic<bool> wrong_thread{false};
  for (int i = 0; i < 100; ++i) {
    looper.PostTask(
        [&, i] {
          if (!looper.RunsTasksOnCurrentThread()) {
            wrong_thread = true;
          }
          order.push_back(i);
        },
        FROM_HERE);
  }
  looper.Flush();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(order[i], i);
  }
  EXPECT_FALSE(wrong_thread);
  EXPECT_FALSE(looper.RunsTasksOnCurrentThread());
}

TEST(LooperThreadTest, ShutdownDrainsEverythingPostedAndLaterTasksRunInline) {
  std::atomic<int> ran{0};
  auto looper = std::make_unique<LooperThread>("drain");
  // Tasks posted from several threads, some from inside other tasks.
  std::vector<std::thread> posters;
  posters.reserve(4);
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        looper->PostTask([&] { ++ran; }, FROM_HERE);
      }
    });
  }
  for (std::thread& t : posters) {
    t.join();
  }
  looper->PostTask([&] { looper->PostTask([&] { ++ran; }, FROM_HERE); }, FROM_HERE);
  looper->Shutdown();
  EXPECT_EQ(ran.load(), 1001);
  looper->PostTask([&] { ++ran; }, FROM_HERE);
  EXPECT_EQ(ran.load(), 1002);
  looper.reset();
}

TEST(LooperThreadTest, ThrowingTaskDoesNotStopTheLooper) {
  LooperThread looper("throwing");
  bool ran_after = false;
  looper.PostTask([] { throw std::runtime_error("boom"); }, FROM_HERE);
  looper.PostTask([&] { ran_after = true; }, FROM_HERE);
  looper.Flush();
  EXPECT_TRUE(ran_after);
}

TEST(LooperThreadTest, FileLooperIsOneProcessWideInstance) {
  auto a = LooperThread::FileLooper();
  auto b = LooperThread::FileLooper();
  EXPECT_EQ(a.get(), b.get());
  std::atomic<bool> ran{false};
  a->PostTask([&] { ran = true; }, FROM_HERE);
  a->Flush();
  EXPECT_TRUE(ran);
}

TEST(LooperThreadTest, FileLooperExitRunsTheStepsLastFirstThenDrains) {
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
