#include "src/part_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/test/temp_dir.h"

namespace tavorisdk::internal {
namespace {

// A record is written privately and read back; one that is incomplete, of another version, cut
// at the size limit, reached through a link or owned by another user is not read.
TEST(PartInfoTest, OnlyACompleteRecordOfTheUserIsRead) {
  base::test::ScopedTempDir dir;
  const int dir_fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  const std::string path = dir.Child("p.info");
  std::ofstream(path) << "stale";
  const PartInfo written{"http://h/p.exe", "0123456789abcdef0123456789abcdef", 42, "\"v1\""};
  ASSERT_TRUE(WritePartInfo(dir_fd, "p.info", written));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  PartInfo read;
  ASSERT_TRUE(ReadPartInfo(dir_fd, "p.info", &read));
  EXPECT_EQ(std::tie(read.url, read.md5, read.size, read.validator),
            std::tie(written.url, written.md5, written.size, written.validator));

  const std::string head = "tavori-part 1\nurl u\nmd5 m\nsize 1\n";
  for (const auto& [text, readable] : std::initializer_list<std::pair<std::string, bool>>{
           {"tavori-part 2\nurl u\nmd5 m\nsize 1\nvalidator v\n", false},
           {head, false},
           {"tavori-part 1\nurl u\nextra x\nmd5 m\nsize 1\nvalidator\n", true},
           {head + std::string(kMaxPartInfoBytes, '#') + "\nvalidator v\n", false},
           {head + "validator v\n", true},
           // Four key lines, but "url" missing: a key named twice does not stand in for it.
           {"tavori-part 1\nvalidator v\nsize 1\nmd5 m\nsize 2\n", false}}) {
    std::ofstream(path) << text;
    EXPECT_EQ(ReadPartInfo(dir_fd, "p.info", &read), readable) << text.substr(0, 60);
  }
  std::filesystem::create_symlink(path, dir.Child("link.info"));
  EXPECT_FALSE(ReadPartInfo(dir_fd, "link.info", &read));
  EXPECT_FALSE(ReadPartInfo(dir_fd, "none.info", &read));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ReadPartInfo(dir_fd, "p.info", &read)) << "another user's record";
  }
  close(dir_fd);
}

}  // namespace
}  // namespace tavorisdk::internal
