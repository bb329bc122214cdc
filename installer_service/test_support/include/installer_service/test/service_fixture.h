// The fixture of the installer service's tests: the service run in-process, the OS layer's COM
// stand-in talking to it, real signed PE installers and a `wine` that records each start.  The
// attacks come from a second local identity: a child of the test binary (roles "as-nobody" and
// "slow-caller", service_fixture.cc) that drops to an unprivileged uid before it connects.
//
// The fixture's methods run on the test's thread; the service runs its loop on |thread_|.

#ifndef INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_
#define INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "installer_service/test/installers.h"
#include "os/com.h"
#include "os/installer_protocol.h"
#include "os/posix/environment.h"
#include "os/utf.h"
#include "src/installer_service.h"
#include "src/service_internal.h"

namespace installer_service::test {

namespace fs = std::filesystem;
using Json = nlohmann::json;
namespace protocol = os::installer_protocol;
using installer_test::FileMd5;

inline constexpr os::com::Guid kClsid = os::com::kPrivilegedInstallerClassId;
inline constexpr os::com::Guid kIid = os::com::kPrivilegedInstallerInterfaceId;
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kOtherGroup = 65533;
inline constexpr auto kBound = std::chrono::seconds(20);

// A connection to the socket at |path|, or -1.
int ConnectTo(const std::string& path);
// Threads of this process, and the heap in use (the sanitizer's count when one runs).
size_t ThreadCount();
size_t HeapBytes();

// Polls |done| until it holds or |bound| passes; whether it held.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds bound = kBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class InstallerServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / "installer_service" /
            testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(root_);
    fs::create_directories(root_ / "system");
    // Before any thread starts: the client finds the socket under the system root, and the
    // service starts Windows images with the first `wine` on PATH.
    setenv("TAVORI_SYSTEM_ROOT", (root_ / "system").c_str(), 1);
    wine_ = std::make_unique<installer_test::WineStandIn>((root_ / "wine").string());
    setenv("PATH", (wine_->bin_dir() + ":" + getenv("PATH")).c_str(), 1);
    factory_ = std::make_unique<installer_test::InstallerFactory>((root_ / "installers").string());
    factory_->InstallTrustBundle((root_ / "system").string());
    good_ = factory_->SignedBy("good.exe", installer_test::kPublisher);
    // Another identity must be able to reach the installers and the socket.
    fs::permissions(root_, fs::perms::all);
  }
  void TearDown() override { StopService(); }

  static std::string SocketPath() { return os::posix::SystemPath(protocol::kSocketRelativePath); }
  static std::string StagingDir() { return os::posix::SystemPath(kStagingRelativePath); }
  static ServiceConfig Config() {
    ServiceConfig config;
    config.socket_path = SocketPath();
    config.staging_dir = StagingDir();
    config.trust_bundle_path = os::posix::SystemPath(os::posix::kTrustBundleRelativePath);
    return config;
  }

  void StartService(ServiceConfig config = Config()) {
    service_ = std::make_unique<Service>(std::move(config));
    ASSERT_TRUE(service_->Listen());
    thread_ = std::thread([this] { service_->Run(); });
  }
  void StopService() {
    if (service_) {
      service_->Stop();
      if (thread_.joinable()) {
        thread_.join();
      }
      service_.reset();
    }
  }
  static void SkipUnlessRoot() {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root, to act as a second local user (uid " << kNobody << ")";
    }
  }

  static os::com::HResult Create(std::unique_ptr<os::com::PrivilegedInstaller>* installer,
                                 const os::com::Guid& iid = kIid) {
    return os::com::CreatePrivilegedInstaller(kClsid, iid, installer);
  }
  // ExecInstall through the COM stand-in, as the client calls it.
  static os::com::HResult Exec(const std::string& path, const std::string& md5,
                               const std::string& parameters = "/S /Language=") {
    std::unique_ptr<os::com::PrivilegedInstaller> installer;
    const os::com::HResult created = Create(&installer);
    return os::com::Failed(created)
               ? created
               : installer->ExecInstall(os::Utf8ToWide(path), os::Utf8ToWide(parameters),
                                        os::Utf8ToWide(md5), 1, 1);
  }
  os::com::HResult ExecGood() const { return Exec(good_, FileMd5(good_)); }
  // The same as nobody (with |group| as its one supplementary group when not 0), in a child;
  // without a path, only creates the object.  Whether the HRESULT was |expected|.
  static bool ExecAsNobody(const std::string& path, os::com::HResult expected, gid_t group = 0);

  // A raw connection, for requests the COM stand-in never sends.
  static int Connect() {
    const int fd = ConnectTo(SocketPath());
    EXPECT_GE(fd, 0);
    return fd;
  }
  // Sends |payload| with |descriptors| and returns the reply's HRESULT (-1: not sent, -2: no
  // reply).
  static int64_t Ask(int fd, const std::string& payload, const std::vector<int>& descriptors = {});
  static std::string CreateRequest() {
    return Json{
        {"type", "create"}, {"clsid", os::com::GuidText(kClsid)}, {"iid", os::com::GuidText(kIid)}}
        .dump();
  }
  Json ExecRequest() const {
    return {{"type", "exec_install"}, {"path", good_},   {"parameters", ""},
            {"md5", FileMd5(good_)},  {"session_id", 1}, {"mode", 1}};
  }

  fs::path root_;
  std::unique_ptr<installer_test::WineStandIn> wine_;
  std::unique_ptr<installer_test::InstallerFactory> factory_;
  std::string good_;
  std::unique_ptr<Service> service_;
  std::thread thread_;
};

}  // namespace installer_service::test

#endif  // INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_
