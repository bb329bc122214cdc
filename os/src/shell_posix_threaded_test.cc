#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "os/installer_file.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// rwxr-xr-x.
constexpr fs::perms kExecutable = fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec;

// Starting programs from several threads at once: each start must report its own program, and
// none may be left behind as our child.
TEST(ShellThreadedTest, StartsFromSeveralThreadsAtOnce) {
  std::string pattern = testing::TempDir() + "shell_threads_XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const fs::path tool = dir / "touch";
  fs::copy_file("/usr/bin/touch", tool);
  fs::permissions(tool, kExecutable);

  constexpr int kThreads = 4;
  constexpr int kStartsPerThread = 8;
  std::vector<uintptr_t> results(kThreads * kStartsPerThread, 0);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kStartsPerThread; ++i) {
        const fs::path made = dir / ("made " + std::to_string(t) + "-" + std::to_string(i));
        results[t * kStartsPerThread + i] =
            ShellExecute(InstallerFile::Open(Utf8ToWide(tool.string())),
                         L'"' + Utf8ToWide(made.string()) + L'"');
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (uintptr_t result : results) {
    EXPECT_EQ(result, kShellStarted);
  }

  // Every program makes its own file; wait for all of them, bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kStartsPerThread; ++i) {
      const fs::path made = dir / ("made " + std::to_string(t) + "-" + std::to_string(i));
      while (!fs::exists(made) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling, bounded
      }
      EXPECT_TRUE(fs::exists(made)) << made;
    }
  }
  EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace os
