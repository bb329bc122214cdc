#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/test/temp_dir.h"
#include "os/installer_file.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// Starting programs from several threads at once: each start must report its own program, and
// none may be left behind as our child.
TEST(ShellThreadedTest, StartsFromSeveralThreadsAtOnce) {
  const base::test::ScopedTempDir dir;
  const std::string tool = dir.Child("touch");
  fs::copy_file("/usr/bin/touch", tool);
  fs::permissions(tool, static_cast<fs::perms>(0755));
  constexpr int kThreads = 4;
  constexpr int kStartsPerThread = 8;
  const auto made = [&dir](int i) { return dir.Child("made " + std::to_string(i)); };
  std::vector<uintptr_t> results(kThreads * kStartsPerThread, 0);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * kStartsPerThread; i < (t + 1) * kStartsPerThread; ++i) {
        results[i] =
            ShellExecute(InstallerFile::Open(Utf8ToWide(tool)), L'"' + Utf8ToWide(made(i)) + L'"');
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(results, std::vector<uintptr_t>(results.size(), kShellStarted));
  // Every program makes its own file; wait for all of them, polling up to a deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < kThreads * kStartsPerThread; ++i) {
    while (!fs::exists(made(i)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(fs::exists(made(i))) << made(i);
  }
  EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

}  // namespace
}  // namespace os
