#include "src/download_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "base/threading/looper_thread.h"

namespace tavorisdk::internal {
namespace {

using base::test::ReadFileToString;

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(dir_fd_, 0); }
  void TearDown() override { close(dir_fd_); }

  std::shared_ptr<DownloadFile> Create() const {
    int error = 0;
    auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
    EXPECT_EQ(error, 0);
    return file;
  }

  base::test::ScopedTempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string path_ = temp_.Child("f.part");
  const int dir_fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
};

// What may stand at the partial file's name, left by an earlier run, another job or another
// local user: never followed, never resumed unless it is a plain file of this user, never taken
// from a job that holds it.
TEST_F(DownloadFileTest, OnlyAPlainUnheldFileOfTheUserIsResumed) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: one case hands the file to another user (uid 65534)";
  }
  const std::string victim = dir_ + "/victim";
  std::shared_ptr<DownloadFile> holder;  // another job's open file
  const struct {
    const char* name;
    std::function<void()> plant;
    int resume_error;           // of OpenForResume with a limit of 100
    int create_error;           // of CreateFresh afterwards; 0: a new file replaces what was there
    const char* old = nullptr;  // what a reader who opened the old file keeps seeing
  } cases[] = {
      {"nothing", [] {}, ENOENT, 0},
      {"too long for the limit",
       [&] { std::ofstream(path_) << "0123456789" << std::string(90, 'x'); }, EINVAL, 0,
       "0123456789"},
      {"empty", [&] { std::ofstream(path_) << ""; }, EINVAL, 0},
      {"link to the victim", [&] { ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0); }, ELOOP,
       0},
      {"hard link to the victim", [&] { ASSERT_EQ(link(victim.c_str(), path_.c_str()), 0); }, EPERM,
       0},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0); }, EPERM, 0},
      {"another user's file",
       [&] {
         std::ofstream(path_) << "theirs";
         ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
       },
       EPERM, 0},
      {"held by another job",
       [&] {
         holder = Create();
         ASSERT_TRUE(holder->Reserve(4));
         ASSERT_TRUE(holder->Write("held", 4));
       },
       EBUSY, EBUSY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(victim) << "victim";
    c.plant();
    int error = 0;
    EXPECT_EQ(DownloadFile::OpenForResume(dir_fd_, "f.part", 100, true, &error), nullptr);
    EXPECT_EQ(error, c.resume_error);
    std::ifstream reader;
    if (c.old != nullptr) {
      reader.open(path_);
    }
    error = 0;
    // Without hashing: the downloads hash, and the mode must not change where the bytes go.
    auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", false, &error);
    EXPECT_EQ(error, c.create_error);
    EXPECT_EQ(file != nullptr, c.create_error == 0);
    if (file) {
      ASSERT_TRUE(file->Reserve(3));
      ASSERT_TRUE(file->Write("new", 3));
      EXPECT_TRUE(file->IsAt(dir_fd_, "f.part"));
    }
    EXPECT_EQ(ReadFileToString(path_), file ? "new" : "held");
    EXPECT_EQ(ReadFileToString(victim), "victim");
    if (c.old != nullptr) {
      std::string seen(10, '\0');
      reader.read(seen.data(), 10);
      EXPECT_EQ(seen, c.old) << "the old file was overwritten in place";
    }
    if (file) {
      file->Abort();
    }
    file.reset();
    holder.reset();
    std::filesystem::remove(path_);
  }
  int error = 0;
  EXPECT_EQ(DownloadFile::CreateFresh(dir_fd_, "missing/f.part", true, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

TEST_F(DownloadFileTest, RenameOnlyWhileTheNameLeadsToThisFile) {
  auto file = Create();
  ASSERT_NE(file, nullptr);
  // Another job replaced the name with its own file.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  std::ofstream(path_) << "other";
  EXPECT_FALSE(file->IsAt(dir_fd_, "f.part"));
  EXPECT_EQ(file->RenameAt(dir_fd_, "f.part", "f"), ESTALE);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/f"));
  EXPECT_EQ(ReadFileToString(path_), "other");
  file->Abort();
}

// Aborted while the file thread still has bytes to hash: what was written stays on disk.
TEST_F(DownloadFileTest, AbortWithBytesStillToHash) {
  auto file = Create();
  ASSERT_NE(file, nullptr);
  const std::string data(DownloadFile::kChunkBytes * 3, 'd');
  ASSERT_TRUE(file->Reserve(data.size()));
  ASSERT_TRUE(file->Write(data.data(), data.size()));
  file->Finish([](const DownloadFile::Outcome&) {});
  file->Abort();
  file.reset();
  base::threading::LooperThread::FileLooper()->Flush();
  EXPECT_EQ(std::filesystem::file_size(path_), data.size());
}

}  // namespace
}  // namespace tavorisdk::internal
