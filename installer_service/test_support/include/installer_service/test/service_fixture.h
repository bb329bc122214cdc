// The fixture of the installer service's tests: the service run in-process, the OS layer's COM
// stand-in talking to it, real signed PE installers and a `wine` that records each start.  The
// attacks come from a second local identity: a child of the test binary (roles "as-nobody" and
// "slow-caller", service_fixture.cc) that drops to an unprivileged uid before it connects.

#ifndef INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_
#define INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
namespace protocol = os::installer_protocol;
using installer_test::InstallerFactory;
using installer_test::WineStandIn;
using Json = nlohmann::json;
using protocol::IoStatus;

inline constexpr os::com::Guid kClsid = os::com::kPrivilegedInstallerClassId;
inline constexpr os::com::Guid kIid = os::com::kPrivilegedInstallerInterfaceId;
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kOtherGroup = 65533;

inline constexpr os::com::HResult kFileNotFound = os::com::HResultFromWin32(2);
inline constexpr os::com::HResult kFileTooLarge = os::com::HResultFromWin32(kErrorFileTooLarge);
inline constexpr os::com::HResult kDiskFull = os::com::HResultFromWin32(kErrorDiskFull);

// Becomes uid/gid |id| with only |group| (when not 0) as supplementary group.
bool DropTo(uid_t id, gid_t group);
// A connection to the socket at |path|, or -1.
int ConnectTo(const std::string& path);

// Polls |done| until it holds or |bound| passes; whether it held.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Threads of this process, and the heap in use (the sanitizer's count when one runs).
size_t ThreadCount();
size_t HeapBytes();

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
    wine_ = std::make_unique<WineStandIn>((root_ / "wine").string());
    setenv("PATH", (wine_->bin_dir() + ":" + getenv("PATH")).c_str(), 1);
    factory_ = std::make_unique<InstallerFactory>((root_ / "installers").string());
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

  void StartService(ServiceConfig config) {
    service_ = std::make_unique<Service>(std::move(config));
    ASSERT_TRUE(service_->Listen());
    thread_ = std::thread([this] { service_->Run(); });
  }
  void StartService() { StartService(Config()); }
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

  static os::com::HResult Exec(const std::string& path, const std::string& md5,
                               const std::string& parameters = "/S /Language=") {
    std::unique_ptr<os::com::PrivilegedInstaller> installer;
    const os::com::HResult created = Create(&installer);
    if (os::com::Failed(created)) {
      return created;
    }
    return installer->ExecInstall(os::Utf8ToWide(path), os::Utf8ToWide(parameters),
                                  os::Utf8ToWide(md5), 1, 1);
  }
  os::com::HResult ExecGood() { return Exec(good_, installer_test::FileMd5(good_)); }

  // A raw connection, for requests the COM stand-in never sends.
  static int Connect() {
    const int fd = ConnectTo(SocketPath());
    EXPECT_GE(fd, 0);
    return fd;
  }
  // Sends |payload| with |descriptors| and returns the reply's HRESULT (-1: not sent, -2: no
  // reply).
  static int64_t Ask(int fd, const std::string& payload, const std::vector<int>& descriptors = {}) {
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) {
      frame[i] = static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
    }
    frame += payload;
    iovec iov{frame.data(), frame.size()};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    if (!descriptors.empty()) {
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
      std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
    }
    if (sendmsg(fd, &message, MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
      return -1;
    }
    std::string reply;
    if (protocol::ReadFrame(fd, std::chrono::seconds(20), &reply) != IoStatus::kOk) {
      return -2;
    }
    return Json::parse(reply)["hresult"].get<int64_t>();
  }
  static std::string CreateRequest() {
    return Json{
        {"type", "create"}, {"clsid", os::com::GuidText(kClsid)}, {"iid", os::com::GuidText(kIid)}}
        .dump();
  }
  Json ExecRequest() const {
    return {{"type", "exec_install"}, {"path", good_},
            {"parameters", ""},       {"md5", installer_test::FileMd5(good_)},
            {"session_id", 1},        {"mode", 1}};
  }

  fs::path root_;
  std::unique_ptr<WineStandIn> wine_;
  std::unique_ptr<InstallerFactory> factory_;
  std::string good_;
  std::unique_ptr<Service> service_;
  std::thread thread_;
};

}  // namespace installer_service::test

#endif  // INSTALLER_SERVICE_TEST_SERVICE_FIXTURE_H_
