#include "src/internal/rotating_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <latch>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// Each writer has a RotatingFile of its own, with its own descriptors and lock, as each process of
// a program has; a latch makes every writer hold the file open before any of them rotates it.
TEST(RotatingFileTest, WritersSharingTheFileLoseNoRecordAndKeepTheLimit) {
  base::test::ScopedTempDir dir;
  const std::string path = dir.Child("app.update_lib.log");
  std::latch opened(kWriters);
  std::atomic<int> failed_writes{0};
  std::vector<std::thread> writers;
  writers.reserve(kWriters);
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      RotatingFile file(path, kLimit, kFiles);
      failed_writes += file.Write(Record(writer, 0)) ? 0 : 1;
      opened.arrive_and_wait();
      for (int index = 1; index < kRecords; ++index) {
        failed_writes += file.Write(Record(writer, index)) ? 0 : 1;
      }
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  EXPECT_EQ(failed_writes.load(), 0);

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
