#include "src/internal/rotating_file.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/test/child_process.h"
#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"

namespace base::log {
namespace {

constexpr size_t kLimit = 2048;
constexpr size_t kFiles = 64;  // enough that no record is rotated out in the test below
constexpr int kWriters = 4;
constexpr int kRecords = 300;
constexpr size_t kRecordSize = 48;

std::string Record(int writer, int index) {
  char head[32];
  std::snprintf(head, sizeof(head), "w%d r%04d ", writer, index);
  std::string record = head;
  record.resize(kRecordSize - 1, '.');
  return record + "\n";
}

// Child role.  |arg|: "<log path> <writer> <ready fd> <go fd> <go write end>".  Writes its first
// record, says so on the ready pipe and waits for the go pipe to close, so that every writer holds
// the file open before any of them rotates it; then writes the rest.
const bool kWriterRole = base::test::RunChildRoleIfAsked("log-writer", [](const std::string& arg) {
  std::istringstream in(arg);
  std::string path;
  int writer = 0;
  int ready = -1;
  int go = -1;
  int go_write = -1;
  if (!(in >> path >> writer >> ready >> go >> go_write)) {
    return 64;
  }
  ::close(go_write);
  RotatingFile file(path, kLimit, kFiles);
  if (!file.Write(Record(writer, 0)) || ::write(ready, "r", 1) != 1) {
    return 1;
  }
  for (char byte; ::read(go, &byte, 1) > 0;) {
  }
  for (int index = 1; index < kRecords; ++index) {
    if (!file.Write(Record(writer, index))) {
      return 2;
    }
  }
  return 0;
});

TEST(RotatingFileTest, ProcessesSharingTheFileLoseNoRecordAndKeepTheLimit) {
  base::test::ScopedTempDir dir;
  const std::string path = dir.Child("app.update_lib.log");
  int ready[2];
  int go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    children.push_back(base::test::SpawnChild(
        "log-writer", path + " " + std::to_string(writer) + " " + std::to_string(ready[1]) + " " +
                          std::to_string(go[0]) + " " + std::to_string(go[1])));
    ASSERT_GT(children.back(), 0);
  }
  ::close(ready[1]);
  ::close(go[0]);
  int ready_count = 0;
  pollfd poll_ready{ready[0], POLLIN, 0};
  for (char byte; ready_count < kWriters && ::poll(&poll_ready, 1, 30000) == 1 &&
                  ::read(ready[0], &byte, 1) == 1;) {
    ++ready_count;
  }
  ::close(go[1]);
  ::close(ready[0]);
  for (pid_t child : children) {
    EXPECT_EQ(base::test::WaitForChild(child), 0);
  }
  ASSERT_EQ(ready_count, kWriters);

  // Every record is there exactly once, and no file went past the limit by more than a record.
  std::map<std::string, int> seen;
  std::map<std::string, int> expected;
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int index = 0; index < kRecords; ++index) {
      expected[Record(writer, index)] = 1;
    }
  }
  size_t files = 0;
  for (size_t index = 0; index <= kFiles; ++index) {
    const std::string name = index == 0 ? path : RotatingFile::RotatedName(path, index);
    const std::string content = base::test::ReadFileToString(name);
    files += content.empty() ? 0 : 1;
    EXPECT_LE(content.size(), kLimit + kRecordSize) << name;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
      ++seen[line + "\n"];
    }
  }
  EXPECT_FALSE(std::filesystem::exists(RotatingFile::RotatedName(path, kFiles)));
  EXPECT_GE(files, kWriters * kRecords * kRecordSize / kLimit);
  EXPECT_TRUE(seen == expected) << seen.size() << " distinct lines, " << expected.size()
                                << " records";
}

TEST(RotatingFileTest, RotatedNamesKeepTheExtension) {
  EXPECT_EQ(RotatingFile::RotatedName("/l/app.update_lib.log", 3), "/l/app.update_lib.3.log");
  EXPECT_EQ(RotatingFile::RotatedName("/l.d/log", 1), "/l.d/log.1");
  EXPECT_EQ(RotatingFile::RotatedName("/l/.log", 2), "/l/.log.2");
}

}  // namespace
}  // namespace base::log
