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

class PartInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    dir_fd_ = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd_, 0);
  }
  void TearDown() override { ::close(dir_fd_); }
  void WriteText(const std::string& text) { std::ofstream(dir_.Child("p.info")) << text; }

  base::test::ScopedTempDir dir_;
  int dir_fd_ = -1;
};

TEST_F(PartInfoTest, WrittenRecordReadsBackPrivately) {
  WriteText("stale");
  const PartInfo written{"http://h/p.exe", "0123456789abcdef0123456789abcdef", 42, "\"v1\""};
  ASSERT_TRUE(WritePartInfo(dir_fd_, "p.info", written));
  struct stat st {};
  ASSERT_EQ(::stat(dir_.Child("p.info").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  PartInfo read;
  ASSERT_TRUE(ReadPartInfo(dir_fd_, "p.info", &read));
  EXPECT_EQ(read.url, written.url);
  EXPECT_EQ(read.md5, written.md5);
  EXPECT_EQ(read.size, written.size);
  EXPECT_EQ(read.validator, written.validator);
}

TEST_F(PartInfoTest, IncompleteForeignOrLinkedRecordsAreNotRead) {
  PartInfo info;
  EXPECT_FALSE(ReadPartInfo(dir_fd_, "p.info", &info));  // none
  for (const char* text : {"tavori-part 2\nurl u\nmd5 m\nsize 1\nvalidator v\n",
                           "tavori-part 1\nurl u\nmd5 m\nsize 1\n"}) {
    WriteText(text);
    EXPECT_FALSE(ReadPartInfo(dir_fd_, "p.info", &info)) << text;
  }
  // Unknown keys and an empty validator are fine.
  WriteText("tavori-part 1\nurl u\nextra x\nmd5 m\nsize 1\nvalidator\n");
  EXPECT_TRUE(ReadPartInfo(dir_fd_, "p.info", &info));
  // A record longer than the limit is cut there, so what follows is never seen.
  WriteText("tavori-part 1\nurl u\nmd5 m\nsize 1\n" + std::string(kMaxPartInfoBytes, '#') +
            "\nvalidator v\n");
  EXPECT_FALSE(ReadPartInfo(dir_fd_, "p.info", &info));
  WriteText("tavori-part 1\nurl u\nmd5 m\nsize 1\nvalidator v\n");
  std::filesystem::create_symlink(dir_.Child("p.info"), dir_.Child("link.info"));
  EXPECT_FALSE(ReadPartInfo(dir_fd_, "link.info", &info));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir_.Child("p.info").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ReadPartInfo(dir_fd_, "p.info", &info)) << "another user's record";
  }
}

}  // namespace
}  // namespace tavorisdk::internal
