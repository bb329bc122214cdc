#include "src/download_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>

#include "base/test/file_contents.h"
#include "base/test/temp_dir.h"
#include "base/threading/looper_thread.h"
#include "src/network_thread.h"
#include "util/crypto/crypto.h"

namespace tavorisdk::internal {
namespace {

using base::test::RandomBytes;
using base::test::ReadFileToString;

using namespace std::chrono_literals;

// Plays the network thread: writes in pieces, waits for room when the pool is
// full, finishes.
class Writer {
 public:
  explicit Writer(std::shared_ptr<DownloadFile> file) : file_(std::move(file)) {
    file_->SetRoomCallback([this] {
      std::lock_guard<std::mutex> lock(mu_);
      room_ = true;
      changed_.notify_all();
    });
  }

  // Returns how often the writer had to wait for the hasher.
  int WriteAll(const std::string& data, unsigned seed) {
    std::mt19937 random(seed);
    int waits = 0;
    size_t at = 0;
    while (at < data.size()) {
      const size_t piece = std::min<size_t>(data.size() - at, 1 + random() % (256 * 1024));
      if (!file_->Reserve(piece)) {
        ++waits;
        std::unique_lock<std::mutex> lock(mu_);
        EXPECT_TRUE(changed_.wait_for(lock, 30s, [this] { return room_; }));
        room_ = false;
        continue;
      }
      EXPECT_TRUE(file_->Write(data.data() + at, piece));
      at += piece;
    }
    return waits;
  }

  DownloadFile::Outcome Finish() {
    file_->Finish([this](const DownloadFile::Outcome& outcome) {
      std::lock_guard<std::mutex> lock(mu_);
      outcome_ = outcome;
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mu_);
    EXPECT_TRUE(changed_.wait_for(lock, 30s, [this] { return outcome_.has_value(); }));
    return outcome_.value_or(DownloadFile::Outcome{});
  }

 private:
  std::shared_ptr<DownloadFile> file_;
  std::mutex mu_;
  std::condition_variable changed_;
  bool room_ = false;
  std::optional<DownloadFile::Outcome> outcome_;
};

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd_, 0);
  }
  void TearDown() override { close(dir_fd_); }
  base::test::ScopedTempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string path_ = temp_.Child("f.part");
  int dir_fd_ = -1;
};

TEST_F(DownloadFileTest, HashesWhatIsWrittenWithBoundedMemory) {
  struct Case {
    size_t size;
    bool hash;
  };
  // Sizes around the chunk size, and one far beyond the pool so that the writer
  // must wait.
  for (const Case& c : {Case{0, true}, Case{1, true}, Case{DownloadFile::kChunkBytes, true},
                        Case{DownloadFile::kChunkBytes + 1, true},
                        Case{DownloadFile::kChunkBytes * DownloadFile::kMaxChunks * 6, true},
                        Case{3000000, false}}) {
    SCOPED_TRACE(c.size);
    const std::string data = RandomBytes(c.size, static_cast<unsigned>(c.size));
    // A fresh file is a new inode: someone still reading the old file keeps seeing it whole.
    std::ofstream(path_) << "old content";
    struct stat before {};
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    std::ifstream reader(path_);
    int error = 0;
    auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", c.hash, &error);
    ASSERT_NE(file, nullptr) << error;
    Writer writer(file);
    writer.WriteAll(data, 5);
    const DownloadFile::Outcome outcome = writer.Finish();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.size, static_cast<int64_t>(c.size));
    EXPECT_EQ(outcome.md5, c.hash ? util::crypto::Md5(data) : "");
    EXPECT_TRUE(ReadFileToString(path_) == data);
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    std::string old;
    std::getline(reader, old);
    EXPECT_EQ(old, "old content");
    file->Abort();  // lets go of the lock, as a job does once done with the file
  }
}

TEST_F(DownloadFileTest, ResumeHashesThePrefixOnDiskThenTheNewBytes) {
  const std::string data = RandomBytes(5 * 1024 * 1024 + 17, 3);
  const size_t kept = 2 * 1024 * 1024 + 5;
  std::ofstream(path_, std::ios::binary) << data.substr(0, kept);
  int error = 0;
  auto file = DownloadFile::OpenForResume(dir_fd_, "f.part", static_cast<int64_t>(data.size()),
                                          true, &error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_EQ(file->size(), static_cast<int64_t>(kept));
  Writer writer(file);
  writer.WriteAll(data.substr(kept), 9);
  const DownloadFile::Outcome outcome = writer.Finish();
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.size, static_cast<int64_t>(data.size()));
  EXPECT_EQ(outcome.md5, util::crypto::Md5(data));
  EXPECT_TRUE(ReadFileToString(path_) == data);
}

// What may stand at the partial file's name, left by an earlier run, another
// job or another local user: never followed, never resumed unless it is a
// plain file of this user, never taken from a job that holds it.
TEST_F(DownloadFileTest, OnlyAPlainUnheldFileOfTheUserIsResumed) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: one case hands the file to another user (uid 65534)";
  }
  const std::string victim = dir_ + "/victim";
  std::shared_ptr<DownloadFile> holder;  // another job's open file
  const struct {
    const char* name;
    std::function<void()> plant;
    int resume_error;  // of OpenForResume with a limit of 100
    int create_error;  // of CreateFresh afterwards; 0: a new file replaces what was there
  } cases[] = {
      {"nothing", [] {}, ENOENT, 0},
      {"too long for the limit", [&] { std::ofstream(path_) << std::string(100, 'x'); }, EINVAL, 0},
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
         int error = 0;
         holder = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
         ASSERT_NE(holder, nullptr) << error;
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
    error = 0;
    auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
    EXPECT_EQ(error, c.create_error);
    if (c.create_error == 0) {
      ASSERT_NE(file, nullptr);
      ASSERT_TRUE(file->Reserve(3));
      ASSERT_TRUE(file->Write("new", 3));
      EXPECT_TRUE(file->IsAt(dir_fd_, "f.part"));
      EXPECT_EQ(ReadFileToString(path_), "new");
      file->Abort();
    } else {
      EXPECT_EQ(file, nullptr);
      EXPECT_TRUE(holder->IsAt(dir_fd_, "f.part"));
      EXPECT_EQ(ReadFileToString(path_), "held");
    }
    EXPECT_EQ(ReadFileToString(victim), "victim");
    file.reset();
    holder.reset();
    std::filesystem::remove(path_);
  }
  int error = 0;
  EXPECT_EQ(DownloadFile::CreateFresh(dir_fd_, "missing/f.part", true, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

TEST_F(DownloadFileTest, RenameOnlyWhileTheNameLeadsToThisFile) {
  int error = 0;
  auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
  ASSERT_NE(file, nullptr);
  // Another job replaced the name with its own file.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  std::ofstream(path_) << "other";
  EXPECT_FALSE(file->IsAt(dir_fd_, "f.part"));
  EXPECT_EQ(file->RenameAt(dir_fd_, "f.part", "f"), ESTALE);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/f"));
  EXPECT_EQ(ReadFileToString(path_), "other");

  ASSERT_EQ(unlink(path_.c_str()), 0);
  file = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->RenameAt(dir_fd_, "f.part", "f"), 0);
  EXPECT_TRUE(file->IsAt(dir_fd_, "f"));
  file->Abort();
}

TEST_F(DownloadFileTest, AbortedFileNeverCallsBack) {
  int error = 0;
  auto file = DownloadFile::CreateFresh(dir_fd_, "f.part", true, &error);
  ASSERT_NE(file, nullptr);
  const std::string data = RandomBytes(DownloadFile::kChunkBytes * 3, 2);
  ASSERT_TRUE(file->Reserve(data.size()));
  ASSERT_TRUE(file->Write(data.data(), data.size()));
  std::atomic<bool> called{false};
  file->Finish([&](const DownloadFile::Outcome&) { called = true; });
  file->Abort();
  file.reset();
  base::threading::LooperThread::FileLooper()->Flush();
  // The finish may have raced ahead of Abort only if it was already running;
  // with the file aborted before the file thread reached the end of the data,
  // it must not have run.  Either way the bytes written stay on disk.
  EXPECT_EQ(std::filesystem::file_size(path_), data.size());
  (void)called;
}

}  // namespace
}  // namespace tavorisdk::internal
