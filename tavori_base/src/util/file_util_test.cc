#include "util/file/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace util::file {
namespace {

namespace fs = std::filesystem;

TEST(FileUtilTest, MakeChildDirPathCreatesParentsAndEndsInSeparator) {
  const fs::path root = fs::path(testing::TempDir()) / "make_child_dir";
  fs::remove_all(root);
  const std::string parent = (root / "a" / "b").string();
  for (const std::string& given : {parent, parent + "/"}) {
    const std::string dir = MakeChildDirPath(given, "Database");
    EXPECT_EQ(dir, parent + "/Database/");
    EXPECT_TRUE(fs::is_directory(dir));
  }
}

TEST(FileUtilTest, MakeChildDirPathReturnsThePathWhenCreationFails) {
  const fs::path root = fs::path(testing::TempDir()) / "make_child_dir_blocked";
  fs::remove_all(root);
  fs::create_directories(root);
  // A file where the parent directory should be.
  FILE* f = fopen((root / "file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  const std::string dir = MakeChildDirPath((root / "file").string(), "Global");
  EXPECT_EQ(dir, (root / "file").string() + "/Global/");
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
}  // namespace util::file
