#include "util/file/file_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/test/temp_dir.h"

namespace util::file {
namespace {

TEST(FileUtilTest, MakeChildDirPathCreatesParentsAndEndsInSeparator) {
  base::test::ScopedTempDir dir;
  const std::string parent = dir.Child("a/b");
  for (const std::string& given : {parent, parent + "/"}) {
    EXPECT_EQ(MakeChildDirPath(given, "Database"), parent + "/Database/");
    EXPECT_TRUE(std::filesystem::is_directory(parent + "/Database"));
  }
  // A file where the parent should be: the path is returned all the same.
  std::ofstream(dir.Child("file")).flush();
  EXPECT_EQ(MakeChildDirPath(dir.Child("file"), "Global"), dir.Child("file/Global/"));
  EXPECT_FALSE(std::filesystem::exists(dir.Child("file/Global")));
}

}  // namespace
}  // namespace util::file
