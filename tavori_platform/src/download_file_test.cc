#include "src/download_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include "base/test/file_contents.h"
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
    char pattern[] = "/tmp/tavori_file_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/f.part";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
  std::string path_;
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
    int error = 0;
    auto file = DownloadFile::CreateFresh(path_, c.hash, &error);
    ASSERT_NE(file, nullptr) << error;
    Writer writer(file);
    writer.WriteAll(data, 5);
    const DownloadFile::Outcome outcome = writer.Finish();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.size, static_cast<int64_t>(c.size));
    EXPECT_EQ(outcome.md5, c.hash ? util::crypto::Md5(data) : "");
    EXPECT_TRUE(ReadFileToString(path_) == data);
  }
}

TEST_F(DownloadFileTest, FreshFileIsANewInodeNotAnOverwrite) {
  std::ofstream(path_) << "old content that is longer than the new";
  struct stat before {};
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  // Someone still reading the old file keeps seeing it whole.
  std::ifstream reader(path_);
  int error = 0;
  auto file = DownloadFile::CreateFresh(path_, true, &error);
  ASSERT_NE(file, nullptr);
  Writer writer(file);
  writer.WriteAll("new", 1);
  EXPECT_EQ(writer.Finish().md5, util::crypto::Md5("new"));
  struct stat after {};
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(ReadFileToString(path_), "new");
  std::string old;
  std::getline(reader, old);
  EXPECT_EQ(old, "old content that is longer than the new");
}

TEST_F(DownloadFileTest, ResumeHashesThePrefixOnDiskThenTheNewBytes) {
  const std::string data = RandomBytes(5 * 1024 * 1024 + 17, 3);
  const size_t kept = 2 * 1024 * 1024 + 5;
  // The partial file holds more than the offset: what lies beyond it is cut
  // off.
  std::ofstream(path_, std::ios::binary) << data.substr(0, kept) << "garbage";
  int error = 0;
  auto file = DownloadFile::OpenForResume(path_, static_cast<int64_t>(kept), true, &error);
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

TEST_F(DownloadFileTest, OpeningFailuresReportErrno) {
  int error = 0;
  EXPECT_EQ(DownloadFile::CreateFresh(dir_ + "/missing/f.part", true, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(DownloadFile::OpenForResume(dir_ + "/absent.part", 10, true, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  std::ofstream(path_) << "short";
  error = 0;
  EXPECT_EQ(DownloadFile::OpenForResume(path_, 100, true, &error), nullptr);
  EXPECT_NE(error, 0);
}

TEST_F(DownloadFileTest, AbortedFileNeverCallsBack) {
  int error = 0;
  auto file = DownloadFile::CreateFresh(path_, true, &error);
  ASSERT_NE(file, nullptr);
  const std::string data = RandomBytes(DownloadFile::kChunkBytes * 3, 2);
  ASSERT_TRUE(file->Reserve(data.size()));
  ASSERT_TRUE(file->Write(data.data(), data.size()));
  std::atomic<bool> called{false};
  file->Finish([&](const DownloadFile::Outcome&) { called = true; });
  file->Abort();
  file.reset();
  FileThread().Flush();
  // The finish may have raced ahead of Abort only if it was already running;
  // with the file aborted before the file thread reached the end of the data,
  // it must not have run.  Either way the bytes written stay on disk.
  EXPECT_EQ(std::filesystem::file_size(path_), data.size());
  (void)called;
}

}  // namespace
}  // namespace tavorisdk::internal
