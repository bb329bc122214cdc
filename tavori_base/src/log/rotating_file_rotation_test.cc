// The rotation rules with two writers in one process, each with its own open file as two
// processes have: runs on every platform (the multi-process test is POSIX-only).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "src/internal/rotating_file.h"

namespace base::log {
namespace {

constexpr size_t kLimit = 100;

std::string Record(int index) {
  std::string record = "record " + std::to_string(index) + " ";
  record.resize(39, '.');
  return record + "\n";  // 40 bytes: two fit the limit, a third rotates
}

std::string Records(int first, int count) {
  std::string text;
  for (int i = first; i < first + count; ++i) {
    text += Record(i);
  }
  return text;
}

TEST(RotatingFileRotationTest, WritersFollowEachOthersRotationsAndKeepTheNewestFiles) {
  const struct {
    size_t max_files;
    std::string current, first, second;  // expected contents; "-" when the file must not exist
  } cases[] = {
      {2, Records(8, 2), Records(6, 2), Records(4, 2)},
      {0, Records(8, 2), "-", "-"},  // nothing kept: the file starts again in place
  };
  for (const auto& c : cases) {
    test::ScopedTempDir dir;
    const std::string path = dir.Child("app.update_lib.log");
    RotatingFile a(path, kLimit, c.max_files);
    RotatingFile b(path, kLimit, c.max_files);
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE((i % 3 == 0 ? b : a).Write(Record(i))) << i;
    }
    EXPECT_EQ(test::ReadFileToString(path), c.current) << c.max_files;
    for (const auto& [index, expected] : {std::pair{1, c.first}, std::pair{2, c.second}}) {
      const std::string rotated = RotatingFile::RotatedName(path, index);
      if (expected == "-") {
        EXPECT_FALSE(std::filesystem::exists(rotated)) << rotated;
      } else {
        EXPECT_EQ(test::ReadFileToString(rotated), expected) << rotated;
      }
    }
    EXPECT_FALSE(std::filesystem::exists(RotatingFile::RotatedName(path, 3)));
  }
}

TEST(RotatingFileRotationTest, WhatIsNotARegularFileIsNeverWritten) {
  test::ScopedTempDir dir;
  const std::string path = dir.Child("app.log");
  std::filesystem::create_directory(path);
  RotatingFile file(path, kLimit, 2);
  EXPECT_FALSE(file.Write(Record(0)));
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

}  // namespace
}  // namespace base::log
