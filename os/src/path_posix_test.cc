#include <gtest/gtest.h>

#include <filesystem>

#include "os/folders.h"
#include "os/path.h"
#include "os/utf.h"

namespace os {
namespace {

TEST(PathPosixTest, AppendTurnsBackslashesIntoSeparators) {
  struct Case {
    std::wstring base;
    std::wstring more;
    std::wstring expected;
  } cases[] = {
      {L"/tmp/", L"\\Halvern\\Tavori\\", L"/tmp/Halvern/Tavori/"},
      {L"/tmp", L"Halvern\\Tavori", L"/tmp/Halvern/Tavori"},
      {L"/root/windows", L"Temp\\tavori\\update\\error_flag",
       L"/root/windows/Temp/tavori/update/error_flag"},
      {L"/a", L"", L"/a"},
      {L"", L"b", L"b"},
  };
  for (const Case& c : cases) {
    std::wstring path = c.base;
    ASSERT_TRUE(PathAppend(&path, c.more));
    EXPECT_EQ(path, c.expected);
  }
}

TEST(PathPosixTest, AppendRefusesResultsBeyondMaxPath) {
  std::wstring path = L"/" + std::wstring(kMaxPath - 4, L'a');
  const std::wstring before = path;
  EXPECT_FALSE(PathAppend(&path, L"bcd"));
  EXPECT_EQ(path, before);
  EXPECT_TRUE(PathAppend(&path, L"b"));
  EXPECT_EQ(path.size(), kMaxPath - 1);
}

TEST(PathPosixTest, RemoveFileSpecAndFindFileName) {
  std::wstring path = L"/opt/client/3.2.0.1/libupdate_lib.so";
  ASSERT_TRUE(PathRemoveFileSpec(&path));
  EXPECT_EQ(path, L"/opt/client/3.2.0.1");
  EXPECT_EQ(PathFindFileName(path), L"3.2.0.1");

  std::wstring root_file = L"/host";
  ASSERT_TRUE(PathRemoveFileSpec(&root_file));
  EXPECT_EQ(root_file, L"/");
  EXPECT_FALSE(PathRemoveFileSpec(&root_file));

  std::wstring bare = L"host";
  EXPECT_TRUE(PathRemoveFileSpec(&bare));
  EXPECT_EQ(bare, L"");
  EXPECT_EQ(PathFindFileName(L"name"), L"name");
}

TEST(PathPosixTest, FileExistsCountsDirectoriesAndFiles) {
  const auto dir = std::filesystem::path(testing::TempDir()) / "path_exists";
  std::filesystem::create_directories(dir / "sub");
  EXPECT_TRUE(PathFileExists(Utf8ToWide((dir / "sub").string())));
  EXPECT_FALSE(PathFileExists(Utf8ToWide((dir / "missing").string())));
  EXPECT_FALSE(PathFileExists(L""));
}

}  // namespace
}  // namespace os
