// The install pipeline: outcomes, the checked copy, rights, sizes and per-user turns.

#include <sys/stat.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>

#include "installer_service/test/service_fixture.h"

namespace installer_service::test {
namespace {

using installer_test::kPublisher;

TEST_F(InstallerServiceTest, ExecInstallOutcomes) {
  StartService();
  const std::string blank = factory_->SignedBy("blank.exe", installer_test::kPublisherWithBlank);
  const std::string directory = (root_ / "installers").string();
  const std::string fifo = directory + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string upper_md5 = FileMd5(good_);
  for (char& c : upper_md5) {
    c = static_cast<char>(std::toupper(c));
  }
  struct Case {
    std::string name;
    std::string path;
    os::com::HResult expected;
    std::string md5 = {};  // the file's own when empty
  } cases[] = {
      {"accepted publisher", good_, os::com::kSOk},
      {"accepted with blank", blank, os::com::kSOk},
      {"upper-case md5", good_, os::com::kSOk, upper_md5},
      {"wrong md5", good_, os::com::kCryptEHashValue, FileMd5(blank)},
      {"other publisher", factory_->SignedBy("other.exe", "Someone Else Limited"),
       os::com::kTrustESubjectNotTrusted},
      {"name differs in case",
       factory_->SignedBy("lower.exe", "Halvern Technology(Ostervik) Company limited"),
       os::com::kTrustESubjectNotTrusted},
      {"organisation only",
       factory_->Signed("organisation.exe", {{"O", kPublisher}, {"CN", "Build Machine"}}),
       os::com::kTrustESubjectNotTrusted},
      {"unsigned", factory_->Unsigned("unsigned.exe"), os::com::kTrustENoSignature},
      {"tampered", factory_->Tampered("tampered.exe"), os::com::kTrustEBadDigest},
      {"untrusted root", factory_->SignedByUntrustedRoot("untrusted.exe"),
       os::com::kCertEUntrustedRoot},
      // The caller opens the file: what it cannot open never reaches the service.
      {"missing file", directory + "/missing.exe", os::com::HResultFromWin32(2), FileMd5(good_)},
      {"directory", directory, os::com::kEInvalidArg, FileMd5(good_)},
      {"fifo", fifo, os::com::kEInvalidArg, FileMd5(good_)},
      {"md5 not hex", good_, os::com::kEInvalidArg, std::string(32, 'z')},
  };
  size_t started = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const os::com::HResult result = Exec(c.path, c.md5.empty() ? FileMd5(c.path) : c.md5);
    EXPECT_EQ(HResultText(result), HResultText(c.expected));
    started += c.expected == os::com::kSOk ? 1 : 0;
    // Nothing is left in the staging directory, whatever the outcome.
    EXPECT_TRUE(fs::is_empty(StagingDir()));
  }
  const auto starts = wine_->WaitForStarts(started, kBound);
  ASSERT_EQ(starts.size(), started);
  for (const installer_test::WineStandIn::Start& start : starts) {
    // The program wine was given is the checked installer, split parameters after it.
    EXPECT_TRUE(start.program_md5 == FileMd5(good_) || start.program_md5 == FileMd5(blank));
    EXPECT_EQ(start.arguments,
              (std::vector<std::string>{start.arguments.at(0), "/S", "/Language="}));
  }
}

TEST_F(InstallerServiceTest, TheInstallerStartedIsTheCopyThatWasChecked) {
  StartService();
  const std::string md5 = FileMd5(good_);
  ASSERT_EQ(Exec(good_, md5, R"(/D="C:\Program Files\Tavori" /S)"), os::com::kSOk);
  // Changing the file afterwards changes nothing about what was started.
  std::ofstream(good_, std::ios::app) << "appended";
  const auto starts = wine_->WaitForStarts(1, kBound);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, md5);
  EXPECT_TRUE(starts[0].arguments[0].starts_with("/proc/self/fd/"));
  EXPECT_EQ(starts[0].arguments, (std::vector<std::string>{starts[0].arguments[0],
                                                           R"(/D=C:\Program Files\Tavori)", "/S"}));
}

// A second local user gets exactly the files, and the socket, that user may use.
TEST_F(InstallerServiceTest, CallersUseExactlyTheFilesAndTheSocketTheyMayUse) {
  SkipUnlessRoot();
  StartService();
  // Readable by its owner (root) only: the caller's own open fails, as nobody.
  const std::string root_only = factory_->SignedBy("root-only.exe", kPublisher);
  ASSERT_EQ(chmod(root_only.c_str(), 0600), 0);
  EXPECT_TRUE(ExecAsNobody(root_only, os::com::kEAccessDenied));
  EXPECT_TRUE(wine_->Starts().empty());
  // Readable only through a supplementary group of the caller.
  const std::string group_only = factory_->SignedBy("group-only.exe", kPublisher);
  ASSERT_EQ(chown(group_only.c_str(), 0, kOtherGroup), 0);
  ASSERT_EQ(chmod(group_only.c_str(), 0640), 0);
  EXPECT_TRUE(ExecAsNobody(group_only, os::com::kSOk, kOtherGroup));
  EXPECT_EQ(wine_->WaitForStarts(1, kBound).size(), 1u);
  // A socket the caller may not use.
  ASSERT_EQ(chmod(SocketPath().c_str(), 0600), 0);
  EXPECT_TRUE(ExecAsNobody("", os::com::kEAccessDenied));
}

TEST_F(InstallerServiceTest, InstallerSizeAndStagingSpaceAreBounded) {
  ServiceConfig config = Config();
  config.max_installer_bytes = 64 << 10;
  StartService(config);
  // A sparse file costs its caller nothing; the service refuses it before copying.
  const std::string sparse = (root_ / "installers/sparse.exe").string();
  std::ofstream(sparse) << "MZ";
  ASSERT_EQ(truncate(sparse.c_str(), off_t{1} << 30), 0);
  EXPECT_EQ(HResultText(Exec(sparse, std::string(32, '0'))),
            HResultText(HResultFromWin32(kErrorFileTooLarge)));
  EXPECT_EQ(ExecGood(), os::com::kSOk);
  StopService();

  config = Config();
  config.staging_reserve_bytes = uint64_t{1} << 62;
  StartService(config);
  EXPECT_EQ(HResultText(ExecGood()), HResultText(HResultFromWin32(kErrorDiskFull)));
  EXPECT_TRUE(fs::is_empty(StagingDir()));
  EXPECT_EQ(wine_->WaitForStarts(1, kBound).size(), 1u);
}

TEST_F(InstallerServiceTest, InstallsOfOneUserRunOneAtATime) {
  SkipUnlessRoot();
  std::mutex mu;
  std::condition_variable changed;
  std::map<uid_t, int> running;
  std::map<uid_t, int> peak;
  bool released = false;
  ServiceConfig config = Config();
  config.workers = 3;
  config.max_installs_per_user = 1;
  // Root's installs stay in their copy until released; the other user's go through.
  config.on_install_started = [&](uid_t uid) {
    std::unique_lock<std::mutex> lock(mu);
    peak[uid] = std::max(peak[uid], ++running[uid]);
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return uid != 0 || released; });
    --running[uid];
  };
  StartService(config);
  os::com::HResult results[2] = {-1, -1};
  std::thread first([&] { results[0] = ExecGood(); });
  std::thread second([&] { results[1] = ExecGood(); });
  ASSERT_TRUE(WaitUntil([&] {
    const Service::Stats stats = service_->GetStats();
    return stats.running_installs == 1 && stats.queued_installs == 1;
  }));
  // With a worker free, root's second install still waits; nobody's runs meanwhile.
  EXPECT_TRUE(ExecAsNobody(good_, os::com::kSOk));
  EXPECT_EQ(service_->GetStats().queued_installs, 1u);
  {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
    changed.notify_all();
  }
  first.join();
  second.join();
  EXPECT_EQ(results[0], os::com::kSOk);
  EXPECT_EQ(results[1], os::com::kSOk);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(peak[0], 1);
  EXPECT_EQ(peak[kNobody], 1);
}

}  // namespace
}  // namespace installer_service::test
