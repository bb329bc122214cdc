// The privileged installer service, run in-process, and the OS layer's COM stand-in that talks to
// it.  Installers are real signed PE images; `wine` is a stand-in that records each start.

#include "src/installer_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/test/child_process.h"
#include "installer_service/protocol.h"
#include "installer_service/test/installers.h"
#include "os/com.h"
#include "os/utf.h"

namespace installer_service {
namespace {

namespace fs = std::filesystem;
using installer_test::InstallerFactory;
using installer_test::WineStandIn;
using Json = nlohmann::json;

constexpr os::com::Guid kClsid = {
    0x3D5A1C72, 0x8E4B, 0x4F09, {0xB6, 0xA1, 0x52, 0xC7, 0xE9, 0xD0, 0x4A, 0x18}};
constexpr os::com::Guid kIid = {
    0xA6E2F931, 0x07BD, 0x4C58, {0x9E, 0x3A, 0xD4, 0x1B, 0x8F, 0x65, 0x27, 0xC0}};
constexpr uid_t kNobody = 65534;

// In a child process, as the user nobody: creates the object and, when a path is given, asks for
// that installer.  Exits 0 when the HRESULT is the expected one.  arg: "<expected hex>|<path>".
const bool kAsNobody = base::test::RunChildRoleIfAsked("as-nobody", [](const std::string& arg) {
  const auto bar = arg.find('|');
  const auto expected = static_cast<os::com::HResult>(std::stoul(arg.substr(0, bar), nullptr, 16));
  const std::string path = arg.substr(bar + 1);
  if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
    return 3;
  }
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  os::com::HResult hr = os::com::CreatePrivilegedInstaller(kClsid, kIid, &installer);
  if (!os::com::Failed(hr) && !path.empty()) {
    hr = installer->ExecInstall(os::Utf8ToWide(path), L"/S", L"00000000000000000000000000000000", 1,
                                1);
  }
  if (hr != expected) {
    fprintf(stderr, "HRESULT %s, expected %s\n", HResultText(hr).c_str(),
            HResultText(expected).c_str());
    return 2;
  }
  return 0;
});

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
    // Installers are read by the service as their caller; let every caller read them.
    fs::permissions(root_, fs::perms::all);
  }

  void TearDown() override {
    if (service_) {
      service_->Stop();
      thread_.join();
    }
  }

  std::string SocketPath() const {
    return (root_ / "system/run/privileged-installer.sock").string();
  }
  std::string StagingDir() const { return (root_ / "system/run/installer-staging").string(); }

  void StartService() {
    ServiceConfig config;
    config.socket_path = SocketPath();
    config.staging_dir = StagingDir();
    config.trust_bundle_path = (root_ / "system/trust/code-signing-roots.pem").string();
    service_ = std::make_unique<Service>(config);
    ASSERT_TRUE(service_->Listen());
    thread_ = std::thread([this] { service_->Run(); });
  }

  os::com::HResult Create(std::unique_ptr<os::com::PrivilegedInstaller>* installer,
                          const os::com::Guid& iid = kIid) {
    return os::com::CreatePrivilegedInstaller(kClsid, iid, installer);
  }

  os::com::HResult Exec(const std::string& path, const std::string& md5,
                        const std::string& parameters = "/S /Language=") {
    std::unique_ptr<os::com::PrivilegedInstaller> installer;
    const os::com::HResult created = Create(&installer);
    if (os::com::Failed(created)) {
      return created;
    }
    return installer->ExecInstall(os::Utf8ToWide(path), os::Utf8ToWide(parameters),
                                  os::Utf8ToWide(md5), 1, 1);
  }

  // A raw connection, for requests the COM stand-in never sends.
  int Connect() const {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, SocketPath().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
  }
  static int64_t Ask(int fd, const std::string& payload) {
    if (WriteFrame(fd, payload) != IoStatus::kOk) {
      return -1;
    }
    std::string reply;
    if (ReadFrame(fd, std::chrono::seconds(20), &reply) != IoStatus::kOk) {
      return -2;
    }
    return Json::parse(reply)["hresult"].get<int64_t>();
  }

  fs::path root_;
  std::unique_ptr<WineStandIn> wine_;
  std::unique_ptr<InstallerFactory> factory_;
  std::unique_ptr<Service> service_;
  std::thread thread_;
};

TEST_F(InstallerServiceTest, CreatingTheObjectWithoutAServer) {
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  // No socket at all: the class is not registered.
  EXPECT_EQ(Create(&installer), os::com::kRegdbEClassNotReg);
  // Another class is never looked for.
  const os::com::Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(os::com::CreatePrivilegedInstaller(other, kIid, &installer),
            os::com::kRegdbEClassNotReg);
  // A socket that nobody serves.
  fs::create_directories(fs::path(SocketPath()).parent_path());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, SocketPath().c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(Create(&installer), os::com::kCoEServerExecFailure);
  close(fd);
  EXPECT_EQ(installer, nullptr);
}

TEST_F(InstallerServiceTest, ObjectAndInterface) {
  StartService();
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  const os::com::Guid other_interface = {0xA6E2F931, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(Create(&installer, other_interface), os::com::kENoInterface);
  EXPECT_EQ(installer, nullptr);
  EXPECT_EQ(Create(&installer), os::com::kSOk);
  EXPECT_NE(installer, nullptr);
}

TEST_F(InstallerServiceTest, ExecInstallOutcomes) {
  StartService();
  const std::string good = factory_->SignedBy("good.exe", installer_test::kPublisher);
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
  struct Case {
    std::string name;
    std::string path;
    std::string md5;
    os::com::HResult expected;
  } cases[] = {
      {"accepted publisher", good, installer_test::FileMd5(good), os::com::kSOk},
      {"accepted with blank", blank, installer_test::FileMd5(blank), os::com::kSOk},
      {"upper-case md5", good,
       [&] {
         std::string md5 = installer_test::FileMd5(good);
         for (char& c : md5) c = static_cast<char>(std::toupper(c));
         return md5;
       }(),
       os::com::kSOk},
      {"wrong md5", good, installer_test::FileMd5(blank),
       static_cast<os::com::HResult>(0x80091007)},
      {"other publisher", other, installer_test::FileMd5(other),
       static_cast<os::com::HResult>(0x800B0004)},
      {"name differs in case", lower, installer_test::FileMd5(lower),
       static_cast<os::com::HResult>(0x800B0004)},
      {"organisation only", organisation, installer_test::FileMd5(organisation),
       static_cast<os::com::HResult>(0x800B0004)},
      {"unsigned", unsigned_file, installer_test::FileMd5(unsigned_file),
       static_cast<os::com::HResult>(0x800B0100)},
      {"tampered", tampered, installer_test::FileMd5(tampered),
       static_cast<os::com::HResult>(0x80096010)},
      {"untrusted root", untrusted, installer_test::FileMd5(untrusted),
       static_cast<os::com::HResult>(0x800B0109)},
      {"missing file", directory + "/missing.exe", installer_test::FileMd5(good),
       static_cast<os::com::HResult>(0x80070002)},
      {"directory", directory, installer_test::FileMd5(good), os::com::kEInvalidArg},
      {"relative path", "good.exe", installer_test::FileMd5(good), os::com::kEInvalidArg},
      {"md5 not hex", good, std::string(32, 'z'), os::com::kEInvalidArg},
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
    EXPECT_TRUE(start.program_md5 == installer_test::FileMd5(good) ||
                start.program_md5 == installer_test::FileMd5(blank));
    ASSERT_EQ(start.arguments.size(), 3u);
    EXPECT_EQ(start.arguments[1], "/S");
    EXPECT_EQ(start.arguments[2], "/Language=");
  }
}

TEST_F(InstallerServiceTest, TheInstallerStartedIsTheCopyThatWasChecked) {
  StartService();
  const std::string good = factory_->SignedBy("good.exe", installer_test::kPublisher);
  const std::string md5 = installer_test::FileMd5(good);
  ASSERT_EQ(Exec(good, md5, R"(/D="C:\Program Files\Tavori" /S)"), os::com::kSOk);
  // Changing the file afterwards changes nothing about what was started.
  std::ofstream(good, std::ios::app) << "appended";
  const auto starts = wine_->WaitForStarts(1, std::chrono::seconds(20));
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program_md5, md5);
  EXPECT_TRUE(starts[0].arguments[0].starts_with("/proc/self/fd/"));
  EXPECT_EQ(starts[0].arguments, (std::vector<std::string>{starts[0].arguments[0],
                                                           R"(/D=C:\Program Files\Tavori)", "/S"}));
}

TEST_F(InstallerServiceTest, MalformedRequestsAreRefusedAndTheServiceGoesOn) {
  StartService();
  const int fd = Connect();
  EXPECT_EQ(Ask(fd, "not json"), os::com::kEInvalidArg);
  EXPECT_EQ(Ask(fd, R"({"type":5})"), os::com::kEInvalidArg);
  EXPECT_EQ(
      Ask(fd,
          R"({"type":"exec_install","path":"/x","parameters":"","md5":"0","session_id":1,"mode":1})"),
      static_cast<int64_t>(static_cast<int32_t>(0x8000FFFF)));  // before "create"
  EXPECT_EQ(Ask(fd, R"({"type":"shutdown"})"), static_cast<int32_t>(0x80004001));
  EXPECT_EQ(Ask(fd, Json{{"type", "create"}, {"clsid", kClassId}, {"iid", kInterfaceId}}.dump()),
            0);
  const Json good = {{"type", "exec_install"}, {"path", "/nonexistent.exe"},
                     {"parameters", ""},       {"md5", std::string(32, '0')},
                     {"session_id", 1},        {"mode", 1}};
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, Json>>{{"mode", 2},
                                                 {"session_id", -1},
                                                 {"session_id", "1"},
                                                 {"path", 7},
                                                 {"parameters", std::string(33 * 1024, 'p')},
                                                 {"md5", std::string(31, '0')}}) {
    Json request = good;
    request[key] = value;
    EXPECT_EQ(Ask(fd, request.dump()), os::com::kEInvalidArg) << key;
  }
  EXPECT_EQ(Ask(fd, good.dump()), static_cast<int32_t>(0x80070002));
  // A frame announced above the limit ends the connection after its answer.
  const uint32_t huge = 1 << 30;
  ASSERT_EQ(send(fd, &huge, sizeof(huge), MSG_NOSIGNAL), 4);
  std::string reply;
  ASSERT_EQ(ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kOk);
  EXPECT_EQ(Json::parse(reply)["hresult"], os::com::kEInvalidArg);
  EXPECT_EQ(ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kClosed);
  close(fd);
  // The service still serves.
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  EXPECT_EQ(Create(&installer), os::com::kSOk);
}

TEST_F(InstallerServiceTest, CallersCannotUseFilesTheyCannotRead) {
  StartService();
  const std::string good = factory_->SignedBy("good.exe", installer_test::kPublisher);
  // Readable by its owner (root) only.
  ASSERT_EQ(chmod(good.c_str(), 0600), 0);
  const pid_t child = base::test::SpawnChild("as-nobody", "80070005|" + good);
  EXPECT_EQ(base::test::WaitForChild(child), 0);
  EXPECT_TRUE(wine_->Starts().empty());
}

TEST_F(InstallerServiceTest, ASocketTheCallerMayNotUseIsAccessDenied) {
  StartService();
  ASSERT_EQ(chmod(SocketPath().c_str(), 0600), 0);
  const pid_t child = base::test::SpawnChild("as-nobody", "80070005|");
  EXPECT_EQ(base::test::WaitForChild(child), 0);
}

}  // namespace
}  // namespace installer_service
