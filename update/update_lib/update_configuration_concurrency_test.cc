// The store used as the library uses it: writes on the file looper while the host's thread
// reads, the client and the update process on one file, and a process killed after a write.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/test/child_process.h"
#include "base/test/temp_dir.h"
#include "base/threading/looper_thread.h"
#include "update/update_lib/update_configuration.h"

namespace UpdateLib {
namespace {

using base::variant::Variant;

constexpr int kWrites = 100;
constexpr char kSharedKey[] = "update.cgi_url";

// Parses "<writer>:<n>"; false for anything else.
bool ParseValue(const std::string& text, int* writer, int* n) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  *writer = std::atoi(text.substr(0, colon).c_str());
  *n = std::atoi(text.substr(colon + 1).c_str());
  return text == std::to_string(*writer) + ":" + std::to_string(*n);
}

// Writer |me| stores "<me>:<i>" under the shared key and i under its own key, and after each
// write reads the shared key back.  Returns the number of failed writes and of reads that saw
// something impossible: an unknown value, another value than its own latest when it was the
// last writer, or a writer's counter going back.
int WriteAndReadBack(UpdateDatabaseStorage& storage, int me) {
  int wrong = 0;
  std::vector<int> last_seen = {-1, -1, -1};
  for (int i = 0; i < kWrites; ++i) {
    Variant entries(Variant::Map{});
    entries.Set(kSharedKey, Variant(std::to_string(me) + ":" + std::to_string(i)));
    entries.Set("writer" + std::to_string(me) + "." + std::to_string(i), Variant(int64_t{i}));
    if (!storage.SetUpdateConfig(entries)) ++wrong;
    std::string value;
    int writer = -1;
    int n = -1;
    if (!storage.GetConfiguration(kSharedKey, value) || !ParseValue(value, &writer, &n) ||
        writer < 0 || writer > 2 || (writer == me && n != i) || n < last_seen[writer]) {
      ++wrong;
      continue;
    }
    last_seen[writer] = n;
  }
  return wrong;
}

const bool kWriterRole = base::test::RunChildRoleIfAsked("writer", [](const std::string& arg) {
  UpdateDatabaseStorage storage;
  return WriteAndReadBack(storage, std::atoi(arg.c_str()));
});

// Stores a value, tells the parent through the pipe descriptor in |arg|, and waits to be killed.
const bool kKilledRole = base::test::RunChildRoleIfAsked("killed", [](const std::string& arg) {
  UpdateDatabaseStorage storage;
  if (!storage.Set("kill.key", Variant("stored before the kill"))) return 1;
  const int fd = std::atoi(arg.c_str());
  if (write(fd, "w", 1) != 1) return 2;
  for (;;) pause();
});

// The store reads $XDG_CONFIG_HOME once per process: one folder for the process, which children
// inherit, and every test starts without a database file.
class ConfigHome : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<base::test::ScopedTempDir>();
    setenv("XDG_CONFIG_HOME", dir_->path().c_str(), 1);
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<base::test::ScopedTempDir> dir_;
};
::testing::Environment* const kConfigHome = ::testing::AddGlobalTestEnvironment(new ConfigHome);

class UpdateConfigurationConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::getenv("XDG_CONFIG_HOME") + std::string("/Halvern"), ignored);
  }
};

TEST_F(UpdateConfigurationConcurrencyTest, LooperWritesWhileTheHostThreadReads) {
  UpdateDatabaseStorage storage;
  std::shared_ptr<base::threading::LooperThread> looper =
      base::threading::LooperThread::FileLooper();
  for (int i = 0; i < kWrites; ++i) {
    looper->PostTask(
        [&storage, i] { storage.SetUpdateConfig(kSharedKey, "1:" + std::to_string(i)); },
        FROM_HERE);
  }
  // Reads until the last write shows; every value seen is one that was written, in order.
  int last = -1;
  int reads = 0;
  int writer = -1;
  while (last < kWrites - 1 && reads < 1000000) {
    ++reads;
    std::string value;
    if (!storage.GetConfiguration(kSharedKey, value)) continue;  // nothing written yet
    int n = -1;
    ASSERT_TRUE(ParseValue(value, &writer, &n)) << value;
    ASSERT_EQ(writer, 1);
    ASSERT_GE(n, last);
    last = n;
  }
  looper->Flush();
  EXPECT_EQ(last, kWrites - 1);
}

TEST_F(UpdateConfigurationConcurrencyTest, TwoProcessesLoseNoWrite) {
  const pid_t first = base::test::SpawnChild("writer", "1");
  const pid_t second = base::test::SpawnChild("writer", "2");
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_EQ(base::test::WaitForChild(first), 0);
  EXPECT_EQ(base::test::WaitForChild(second), 0);

  UpdateDatabaseStorage storage;
  for (int writer : {1, 2}) {
    for (int i = 0; i < kWrites; ++i) {
      const Variant request(("writer" + std::to_string(writer) + "." + std::to_string(i)));
      Variant result;
      ASSERT_TRUE(storage.GetConfiguration(&request, &result)) << writer << " " << i;
      EXPECT_EQ(result, Variant(int64_t{i}));
    }
  }
  std::string value;
  ASSERT_TRUE(storage.GetConfiguration(kSharedKey, value));
  EXPECT_TRUE(value == "1:" + std::to_string(kWrites - 1) ||
              value == "2:" + std::to_string(kWrites - 1))
      << value;
}

TEST_F(UpdateConfigurationConcurrencyTest, AWriteSurvivesTheProcessBeingKilled) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = base::test::SpawnChild("killed", std::to_string(fds[1]));
  close(fds[1]);
  ASSERT_GT(child, 0);
  char byte = 0;
  // Returns once the child has written, or with 0 when it ended without writing.
  const ssize_t got = read(fds[0], &byte, 1);
  close(fds[0]);
  kill(child, SIGKILL);
  EXPECT_EQ(base::test::WaitForChild(child), 128 + SIGKILL);
  ASSERT_EQ(got, 1);

  UpdateDatabaseStorage storage;
  std::string value;
  EXPECT_TRUE(storage.GetConfiguration("kill.key", value));
  EXPECT_EQ(value, "stored before the kill");
}

}  // namespace
}  // namespace UpdateLib
