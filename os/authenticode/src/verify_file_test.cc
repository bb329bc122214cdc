// The verifier on files and descriptors (the same verdicts as in memory, whatever happens to the
// name), and the fuzz target's committed seeds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "authenticode/authenticode.h"
#include "authenticode/test/verify_fixture.h"

namespace authenticode {
namespace {

using test::Flip;
using test::MinimalPe;
using test::VerifyTest;

class VerifyFileTest : public VerifyTest {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    return signer_->WriteFile(name, bytes);
  }
};

TEST_F(VerifyFileTest, FilesAndDescriptorsAgreeWithMemory) {
  // An installer-sized payload spans many read chunks, the last one partial.
  const std::string signed_image = Sign(Leaf("Large"), {}, MinimalPe(true, (3 << 20) + 12345));
  const std::string tampered = Flip(signed_image, signed_image.size() / 2);
  struct Case {
    const char* name;
    std::string image;
    Status expected;
  } cases[] = {
      {"signed", signed_image, Status::kOk},
      {"tampered", tampered, Status::kImageHashMismatch},
      {"unsigned", MinimalPe(), Status::kNoSignature},
      {"empty", "", Status::kNotPe},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write("file" + std::to_string(++n) + ".exe", c.image);
    const VerifyResult from_memory = Verify(c.image);
    const VerifyResult from_file = VerifyFile(path, *trust_);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const VerifyResult from_descriptor = VerifyDescriptor(fd, *trust_);
    close(fd);
    for (const VerifyResult* result : {&from_memory, &from_file, &from_descriptor}) {
      EXPECT_EQ(result->status, c.expected) << result->detail;
      EXPECT_EQ(result->signer_name, c.expected == Status::kOk ? "Large" : "");
    }
  }
}

TEST_F(VerifyFileTest, RefusesWhatCannotBeReadAsARegularFile) {
  const std::string directory = signer_->directory();
  const std::string fifo = directory + "/fifo.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string unreadable = Write("unreadable.exe", Sign(Leaf("Hidden")));
  ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
  const bool privileged = geteuid() == 0;

  const std::string paths[] = {"", directory + "/missing.exe", directory, fifo, "/dev/null"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const VerifyResult result = VerifyFile(path, *trust_);
    EXPECT_EQ(result.status, Status::kFileUnreadable) << result.detail;
    EXPECT_NE(result.detail, "");
  }
  if (!privileged) {
    EXPECT_EQ(VerifyFile(unreadable, *trust_).status, Status::kFileUnreadable);
  }
  EXPECT_EQ(VerifyDescriptor(-1, *trust_).status, Status::kFileUnreadable);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(VerifyDescriptor(pipe_fds[0], *trust_).status, Status::kFileUnreadable);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST_F(VerifyFileTest, DescriptorIsReadAsOpenedWhateverHappensToTheName) {
  const std::string path = Write("installer.exe", Sign(Leaf("Opened")));
  const std::string swapped = Write("swapped.exe", MinimalPe());
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 77, SEEK_SET), 77);
  // Someone replaces the file under its name after the caller opened it.
  ASSERT_EQ(rename(swapped.c_str(), path.c_str()), 0);

  const VerifyResult held = VerifyDescriptor(fd, *trust_);
  EXPECT_EQ(held.status, Status::kOk) << held.detail;
  EXPECT_EQ(held.signer_name, "Opened");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 77) << "the descriptor's offset moved";
  EXPECT_EQ(VerifyFile(path, *trust_).status, Status::kNoSignature);
  close(fd);
}

}  // namespace
}  // namespace authenticode

namespace authenticode {
namespace {

// The fuzz seeds are fixed files: they pin the verifier's verdicts on bytes that do not change from
// run to run, and they must keep reaching the paths they were made for.
TEST(CommittedCorpusTest, SeedsKeepTheirVerdicts) {
  const std::string dir = AUTHENTICODE_FUZZ_DIR;
  std::string error;
  const std::unique_ptr<TrustStore> roots =
      TrustStore::LoadPemFile(dir + "/corpus-roots.pem", &error);
  ASSERT_NE(roots, nullptr) << error;
  const std::string maker = "Halvern Technology (Ostervik) Company Limited";
  struct Case {
    const char* file;
    Status expected;
    std::string name;
  } cases[] = {
      {"unsigned.exe", Status::kNoSignature, ""},
      {"signed.exe", Status::kOk, maker},
      {"intermediate.exe", Status::kOk, "Deep Signer"},
      {"pe32-sha1.exe", Status::kOk, maker},
      {"expired-rfc3161.exe", Status::kOk, "Expired Signer"},
      {"expired-countersigned.exe", Status::kOk, "Expired Signer"},
      {"nested.exe", Status::kOk, maker},
      {"two-signers.exe", Status::kMalformedSignature, ""},
      {"server-only.exe", Status::kWrongKeyUsage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const VerifyResult result = VerifyFile(dir + "/corpus/" + c.file, *roots);
    EXPECT_EQ(result.status, c.expected) << result.detail;
    EXPECT_EQ(result.signer_name, c.name);
  }
}

}  // namespace
}  // namespace authenticode
