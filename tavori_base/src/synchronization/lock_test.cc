#include "base/synchronization/lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/check.h"
#include "base/synchronization/condition_variable.h"
#include "base/threading/thread_checker.h"

namespace base {
namespace {

using namespace std::chrono_literals;

// Whether another thread can take |lock| right now.
bool FreeForOthers(Lock& lock) {
  bool taken = false;
  std::thread([&] {
    if (lock.Try()) {
      taken = true;
      lock.Release();
    }
  }).join();
  return taken;
}

TEST(LockTest, AutoUnlockLetsGoForItsScopeOnly) {
  Lock lock;
  EXPECT_TRUE(FreeForOthers(lock));
  AutoLock hold(lock);
  EXPECT_FALSE(FreeForOthers(lock));
  {
    AutoUnlock release(lock);
    EXPECT_TRUE(FreeForOthers(lock));
  }
  EXPECT_FALSE(FreeForOthers(lock));
}

TEST(ConditionVariableTest, WaitsEndOnASignalOrTheTimeout) {
  Lock lock;
  ConditionVariable changed;
  AutoLock hold(lock);
  // Nothing signals: the timed wait reports the timeout.
  EXPECT_FALSE(changed.WaitFor(lock, 10ms));
  // A change made under the lock ends the wait, which holds the lock again.
  bool done = false;
  std::thread signaller([&] {
    AutoLock inner(lock);
    done = true;
    changed.Broadcast();
  });
  while (!done) {
    ASSERT_TRUE(changed.WaitFor(lock, 30s));
  }
  EXPECT_FALSE(FreeForOthers(lock));
  {
    AutoUnlock release(lock);
    signaller.join();
  }
}

TEST(ThreadCheckerTest, BindsToTheFirstCallerUntilDetached) {
#if defined(NDEBUG)
  GTEST_SKIP() << "thread checks are compiled out with NDEBUG";
#else
  threading::ThreadChecker checker;
  const auto on_other_thread = [&] {
    bool valid = false;
    std::thread([&] { valid = checker.CalledOnValidThread(); }).join();
    return valid;
  };
  EXPECT_TRUE(checker.CalledOnValidThread());
  EXPECT_FALSE(on_other_thread());
  checker.DetachFromThread();
  EXPECT_TRUE(on_other_thread());
  EXPECT_FALSE(checker.CalledOnValidThread());
#endif
}

TEST(DcheckTest, FailsInDebugBuildsAndEvaluatesNothingOtherwise) {
  int evaluated = 0;
  BASE_DCHECK(++evaluated == 1);
#if defined(NDEBUG)
  EXPECT_EQ(evaluated, 0);
#else
  EXPECT_EQ(evaluated, 1);
  EXPECT_DEATH(BASE_DCHECK(evaluated == 2), "check failed: evaluated == 2");
#endif
}

}  // namespace
}  // namespace base
