// The install pipeline: outcomes, the checked copy, rights, sizes and per-user turns.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>

#include "base/test/child_process.h"
#include "installer_service/test/service_fixture.h"

namespace installer_service::test {
namespace {

namespace fs = std::filesystem;
using installer_test::WineStandIn;
using Json = nlohmann::json;

TEST_F(InstallerServiceTest, ExecInstallOutcomes) {
  StartService();
  const std::string blank = factory_->SignedBy("blank.exe", installer_test::kPublisherWithBlank);
  const std::string other = factory_->SignedBy("other.exe", "Someone Else Limited");
  const std::string lower =
      factory_->SignedBy("lower.exe", "Halvern Technology(Ostervik) Company limited");
  const std::string organisation = factory_->Signed(
      "organisation.exe", {{"O", installer_test::kPublisher}, {"CN", "Build Machine"}});
  const std::string unsigned_file = factory_->Unsigned("unsigned.exe");
  const std::string tampered = factory_->Tampered("tampered.exe");
  const std::string untrusted = factory_->SignedByUntrustedRoot("untrusted.exe");
  const std::string directory = (root_ / "installers").string();
  const std::string fifo = (root_ / "installers/fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string good_md5 = installer_test::FileMd5(good_);
  struct Case {
    std::string name;
    std::string path;
    std::string md5;
    os::com::HResult expected;
  } cases[] = {
      {"accepted publisher", good_, good_md5, os::com::kSOk},
      {"accepted with blank", blank, installer_test::FileMd5(blank), os::com::kSOk},
      {"upper-case md5", good_,
       [&] {
         std::string md5 = good_md5;
         for (char& c : md5) {
           c = static_cast<char>(std::toupper(c));
         }
         return md5;
       }(),
       os::com::kSOk},
      {"wrong md5", good_, installer_test::FileMd5(blank), os::com::kCryptEHashValue},
      {"other publisher", other, installer_test::FileMd5(other), os::com::kTrustESubjectNotTrusted},
      {"name differs in case", lower, installer_test::FileMd5(lower),
       os::com::kTrustESubjectNotTrusted},
      {"organisation only", organisation, installer_test::FileMd5(organisation),
       os::com::kTrustESubjectNotTrusted},
      {"unsigned", unsigned_file, installer_test::FileMd5(unsigned_file),
       os::com::kTrustENoSignature},
      {"tampered", tampered, installer_test::FileMd5(tampered), os::com::kTrustEBadDigest},
      {"untrusted root", untrusted, installer_test::FileMd5(untrusted),
       os::com::kCertEUntrustedRoot},
      // The caller opens the file: what it cannot open never reaches the service.
      {"missing file", directory + "/missing.exe", good_md5, kFileNotFound},
      {"directory", directory, good_md5, os::com::kEInvalidArg},
      {"fifo", fifo, good_md5, os::com::kEInvalidArg},
      {"md5 not hex", good_, std::string(32, 'z'), os::com::kEInvalidArg},
  };
  size_t started = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HResultText(Exec(c.path, c.md5)), HResultText(c.expected));
    started += c.expected == os::com::kSOk ? 1 : 0;
    // Nothing is left in the staging directory, whatever the outcome.
    EXPECT_TRUE(fs::is_empty(StagingDir()));
  }
  const std::vector<WineStandIn::Start> starts =
      wine_->WaitForStarts(started, std::chrono::seconds(20));
  ASSERT_EQ(starts.size(), started);
  for (const WineStandIn::Start& start : starts) {
    // The program wine was given is the checked installer, split parameters after it.
    EXPECT_TRUE(start.program_md5 == good_md5 ||
                start.program_md5 == installer_test::FileMd5(blank));
    ASSERT_EQ(start.arguments.size(), 3u);
    EXPECT_EQ(start.arguments[1], "/S");
    EXPECT_EQ(start.arguments[2], "/Language=");
  }
}

TEST_F(InstallerServiceTest, TheInstallerStartedIsTheCopyThatWasChecked) {
  StartService();
  const std::string md5 = installer_test::FileMd5(good_);
  ASSERT_EQ(Exec(good_, md5, R"(/D="C:\Program Files\Tavori" /S)"), os::com::kSOk);
  // Changing the file afterwards changes nothing about what was started.
  std::ofstream(good_, std::ios::app) << "appended";
  const auto starts = wine_->WaitForStarts(1, std::chrono::seconds(20));
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, md5);
  EXPECT_TRUE(starts[0].arguments[0].starts_with("/proc/self/fd/"));
  EXPECT_EQ(starts[0].arguments, (std::vector<std::string>{starts[0].arguments[0],
                                                           R"(/D=C:\Program Files\Tavori)", "/S"}));
}

TEST_F(InstallerServiceTest, CallersUseExactlyTheFilesAndTheSocketTheyMayUse) {
  SkipUnlessRoot();
  StartService();
  // Readable by its owner (root) only: the caller's own open fails, as nobody.
  const std::string root_only = factory_->SignedBy("root-only.exe", installer_test::kPublisher);
  ASSERT_EQ(chmod(root_only.c_str(), 0600), 0);
  EXPECT_EQ(base::test::WaitForChild(base::test::SpawnChild(
                "as-nobody", "0|80070005|" + installer_test::FileMd5(root_only) + "|" + root_only)),
            0);
  EXPECT_TRUE(wine_->Starts().empty());
  // Readable only through a supplementary group of the caller.
  const std::string group_only = factory_->SignedBy("group-only.exe", installer_test::kPublisher);
  ASSERT_EQ(chown(group_only.c_str(), 0, kOtherGroup), 0);
  ASSERT_EQ(chmod(group_only.c_str(), 0640), 0);
  EXPECT_EQ(base::test::WaitForChild(base::test::SpawnChild(
                "as-nobody", std::to_string(kOtherGroup) + "|0|" +
                                 installer_test::FileMd5(group_only) + "|" + group_only)),
            0);
  EXPECT_EQ(wine_->WaitForStarts(1, std::chrono::seconds(20)).size(), 1u);
  // A socket the caller may not use.
  ASSERT_EQ(chmod(SocketPath().c_str(), 0600), 0);
  EXPECT_EQ(base::test::WaitForChild(base::test::SpawnChild("as-nobody", "0|80070005||")), 0);
}

TEST_F(InstallerServiceTest, InstallerSizeAndStagingSpaceAreBounded) {
  ServiceConfig config = Config();
  config.max_installer_bytes = 64 << 10;
  StartService(config);
  // A sparse file costs its caller nothing; the service refuses it before copying.
  const std::string sparse = (root_ / "installers/sparse.exe").string();
  { std::ofstream(sparse) << "MZ"; }
  ASSERT_EQ(truncate(sparse.c_str(), off_t{1} << 30), 0);
  EXPECT_EQ(HResultText(Exec(sparse, std::string(32, '0'))), HResultText(kFileTooLarge));
  EXPECT_EQ(ExecGood(), os::com::kSOk);
  StopService();

  config = Config();
  config.staging_reserve_bytes = uint64_t{1} << 62;
  StartService(config);
  EXPECT_EQ(HResultText(ExecGood()), HResultText(kDiskFull));
  EXPECT_TRUE(fs::is_empty(StagingDir()));
  EXPECT_EQ(wine_->WaitForStarts(1, std::chrono::seconds(20)).size(), 1u);
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
  EXPECT_EQ(base::test::WaitForChild(base::test::SpawnChild(
                "as-nobody", "0|0|" + installer_test::FileMd5(good_) + "|" + good_)),
            0);
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
