// The privileged installer service, run in-process, and the OS layer's COM stand-in that talks to
// it.  Installers are real signed PE images; `wine` is a stand-in that records each start.  The
// attacks come from a second local identity: a child of this binary that drops to an
// unprivileged uid before it connects.

#include "src/installer_service.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "base/test/child_process.h"
#include "installer_service/test/installers.h"
#include "os/com.h"
#include "os/installer_protocol.h"
#include "os/posix/environment.h"
#include "os/utf.h"
#include "src/service_internal.h"

namespace installer_service {
namespace {

namespace fs = std::filesystem;
namespace protocol = os::installer_protocol;
using installer_test::InstallerFactory;
using installer_test::WineStandIn;
using Json = nlohmann::json;
using protocol::IoStatus;

constexpr os::com::Guid kClsid = os::com::kPrivilegedInstallerClassId;
constexpr os::com::Guid kIid = os::com::kPrivilegedInstallerInterfaceId;
constexpr uid_t kNobody = 65534;
constexpr gid_t kOtherGroup = 65533;

constexpr os::com::HResult kFileNotFound = os::com::HResultFromWin32(2);
constexpr os::com::HResult kFileTooLarge = os::com::HResultFromWin32(kErrorFileTooLarge);
constexpr os::com::HResult kDiskFull = os::com::HResultFromWin32(kErrorDiskFull);

// Becomes uid/gid |id| with only |group| (when not 0) as supplementary group.
bool DropTo(uid_t id, gid_t group) {
  const gid_t groups[] = {group};
  return setgroups(group != 0 ? 1 : 0, groups) == 0 && setresgid(id, id, id) == 0 &&
         setresuid(id, id, id) == 0;
}

int ConnectTo(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// In a child, as nobody (with |group| as its one supplementary group when not 0): creates the
// object and, when a path is given, asks for that installer.  Exits 0 when the HRESULT is the
// expected one.  arg: "<group>|<expected hex>|<md5>|<path>".
const bool kAsNobody = base::test::RunChildRoleIfAsked("as-nobody", [](const std::string& arg) {
  std::vector<std::string> fields;
  for (size_t begin = 0, bar; fields.size() < 3; begin = bar + 1) {
    bar = arg.find('|', begin);
    fields.push_back(arg.substr(begin, bar - begin));
  }
  const std::string path = arg.substr(fields[0].size() + fields[1].size() + fields[2].size() + 3);
  const auto expected = static_cast<os::com::HResult>(std::stoul(fields[1], nullptr, 16));
  if (!DropTo(kNobody, static_cast<gid_t>(std::stoul(fields[0])))) {
    return 3;
  }
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  os::com::HResult hr = os::com::CreatePrivilegedInstaller(kClsid, kIid, &installer);
  if (!os::com::Failed(hr) && !path.empty()) {
    hr = installer->ExecInstall(os::Utf8ToWide(path), L"/S", os::Utf8ToWide(fields[2]), 1, 1);
  }
  if (hr != expected) {
    fprintf(stderr, "HRESULT %s, expected %s\n", HResultText(hr).c_str(),
            HResultText(expected).c_str());
    return 2;
  }
  return 0;
});

// In a child, as nobody: opens |count| connections that each send half a frame header, says so
// on |ready_fd|, and holds them until |hold_fd| reaches its end.  arg: "<count>|<ready>|<hold>".
const bool kSlowCaller = base::test::RunChildRoleIfAsked("slow-caller", [](const std::string& arg) {
  int count = 0, ready_fd = -1, hold_fd = -1;
  if (std::sscanf(arg.c_str(), "%d|%d|%d", &count, &ready_fd, &hold_fd) != 3 ||
      !DropTo(kNobody, 0)) {
    return 3;
  }
  const std::string socket = os::posix::SystemPath(protocol::kSocketRelativePath);
  std::vector<int> connections;
  for (int i = 0; i < count; ++i) {
    const int fd = ConnectTo(socket);
    if (fd < 0 || send(fd, "\x10\x00", 2, MSG_NOSIGNAL) != 2) {
      return 4;
    }
    connections.push_back(fd);
  }
  (void)!write(ready_fd, "r", 1);
  char byte;
  while (read(hold_fd, &byte, 1) > 0) {
  }
  return 0;
});

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

size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// The heap in use: the sanitizer's count when one runs (freed memory sits in its quarantine and
// would blur the resident size), else malloc's.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
size_t HeapBytes() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return __sanitizer_get_current_allocated_bytes();
  }
  return mallinfo2().uordblks;
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
  os::com::HResult ExecGood() { return Exec(good_, installer_test::FileMd5(good_)); }

  // A raw connection, for requests the COM stand-in never sends.
  int Connect() const {
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

TEST_F(InstallerServiceTest, CreatingTheObject) {
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
  // A served socket: the one interface, and no other.
  StartService();
  const os::com::Guid other_interface = {0xA6E2F931, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(Create(&installer, other_interface), os::com::kENoInterface);
  EXPECT_EQ(installer, nullptr);
  EXPECT_EQ(Create(&installer), os::com::kSOk);
  EXPECT_NE(installer, nullptr);
}

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
         for (char& c : md5) c = static_cast<char>(std::toupper(c));
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

TEST_F(InstallerServiceTest, MalformedRequestsAreRefusedAndTheServiceGoesOn) {
  StartService();
  const int fd = Connect();
  const int installer = open(good_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(Ask(fd, "not json"), os::com::kEInvalidArg);
  EXPECT_EQ(Ask(fd, R"({"type":5})"), os::com::kEInvalidArg);
  EXPECT_EQ(Ask(fd, ExecRequest().dump(), {installer}),
            os::com::kEUnexpected);  // before "create"
  EXPECT_EQ(Ask(fd, R"({"type":"shutdown"})"), os::com::kENotImpl);
  EXPECT_EQ(Ask(fd, CreateRequest()), 0);
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, Json>>{{"mode", 2},
                                                 {"session_id", -1},
                                                 {"session_id", "1"},
                                                 {"path", 7},
                                                 {"path", "good.exe"},
                                                 {"parameters", std::string(33 * 1024, 'p')},
                                                 {"md5", std::string(31, '0')}}) {
    Json request = ExecRequest();
    request[key] = value;
    EXPECT_EQ(Ask(fd, request.dump(), {installer}), os::com::kEInvalidArg) << key;
  }
  // A frame announced above the limit ends the connection after its answer.
  const uint32_t huge = 1 << 30;
  ASSERT_EQ(send(fd, &huge, sizeof(huge), MSG_NOSIGNAL), 4);
  std::string reply;
  ASSERT_EQ(protocol::ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kOk);
  EXPECT_EQ(Json::parse(reply)["hresult"], os::com::kEInvalidArg);
  EXPECT_EQ(protocol::ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kClosed);
  close(fd);
  close(installer);
  EXPECT_TRUE(wine_->Starts().empty());
  // The service still serves.
  EXPECT_EQ(ExecGood(), os::com::kSOk);
}

TEST_F(InstallerServiceTest, OnlyOneReadableRegularFileComesWithExecInstall) {
  StartService();
  const int fd = Connect();
  ASSERT_EQ(Ask(fd, CreateRequest()), 0);
  const int readable = open(good_.c_str(), O_RDONLY | O_CLOEXEC);
  const int write_only = open(good_.c_str(), O_WRONLY | O_CLOEXEC);
  const int path_only = open(good_.c_str(), O_PATH | O_CLOEXEC);
  const int directory = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const struct {
    const char* name;
    std::string request;
    std::vector<int> descriptors;
  } cases[] = {
      {"no descriptor", ExecRequest().dump(), {}},
      {"a directory", ExecRequest().dump(), {directory}},
      {"write-only", ExecRequest().dump(), {write_only}},
      {"O_PATH", ExecRequest().dump(), {path_only}},
      {"a pipe", ExecRequest().dump(), {pipe_fds[0]}},
      {"two descriptors", ExecRequest().dump(), {readable, readable}},
      {"many descriptors", ExecRequest().dump(), std::vector<int>(64, readable)},
      {"with create", CreateRequest(), {readable}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(fd, c.request, c.descriptors), os::com::kEInvalidArg) << c.name;
  }
  EXPECT_TRUE(wine_->Starts().empty());
  // The same connection still serves a proper request.
  EXPECT_EQ(Ask(fd, ExecRequest().dump(), {readable}), os::com::kSOk);
  for (int open_fd : {fd, readable, write_only, path_only, directory, pipe_fds[0], pipe_fds[1]}) {
    close(open_fd);
  }
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

TEST_F(InstallerServiceTest, ConnectionsAreReclaimedAtOnce) {
  StartService();
  ASSERT_EQ(ExecGood(), os::com::kSOk);
  const size_t threads = ThreadCount();
  const size_t heap = HeapBytes();
  for (int i = 0; i < 40'000; ++i) {
    const int fd = Connect();
    ASSERT_GE(fd, 0) << "cycle " << i;
    close(fd);
  }
  ASSERT_TRUE(WaitUntil([&] { return service_->GetStats().serving == 0; }));
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_LT(HeapBytes(), heap + (1u << 20));
  EXPECT_EQ(ExecGood(), os::com::kSOk);
}

TEST_F(InstallerServiceTest, RunningOutOfDescriptorsPausesAccepting) {
  ServiceConfig config = Config();
  config.min_backoff = std::chrono::milliseconds(20);
  config.max_backoff = std::chrono::milliseconds(200);
  StartService(config);
  // The service shares this process's descriptor table: fill it, keeping room for one caller.
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> filler;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    filler.push_back(fd);
  }
  ASSERT_FALSE(filler.empty());
  close(filler.back());
  filler.pop_back();
  const int caller = Connect();
  ASSERT_GE(caller, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return service_->GetStats().accept_failures >= 4; }));
  // Pauses of 20, 40, 80, 160, 200... ms: a handful of attempts, not a busy loop.
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(service_->GetStats().accept_failures,
            5 + static_cast<size_t>(elapsed / std::chrono::milliseconds(200)));
  for (int fd : filler) {
    close(fd);
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  // The caller that waited in the backlog is served.
  EXPECT_EQ(Ask(caller, CreateRequest()), 0);
  close(caller);
  EXPECT_EQ(ExecGood(), os::com::kSOk);
}

TEST_F(InstallerServiceTest, CallersBeyondTheLimitsWait) {
  ServiceConfig config = Config();
  config.max_connections_per_user = 4;
  config.workers = 2;
  StartService(config);
  std::vector<os::com::HResult> results(32, -1);
  std::vector<std::thread> callers;
  for (size_t i = 0; i < results.size(); ++i) {
    callers.emplace_back([this, &results, i] { results[i] = ExecGood(); });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  EXPECT_EQ(results, std::vector<os::com::HResult>(32, os::com::kSOk));
  EXPECT_EQ(wine_->WaitForStarts(32, std::chrono::seconds(60)).size(), 32u);
  EXPECT_LE(service_->GetStats().workers, 2u);
}

TEST_F(InstallerServiceTest, SlowCallerHoldsUpNoOther) {
  SkipUnlessRoot();
  ServiceConfig config = Config();
  // Long enough that waiting for the slow connections to time out would show.
  config.request_timeout = std::chrono::seconds(60);
  StartService(config);
  // Only the child's ends are inherited.
  int ready[2], hold[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(ready[1], F_SETFD, 0), 0);
  ASSERT_EQ(fcntl(hold[0], F_SETFD, 0), 0);
  const pid_t child = base::test::SpawnChild(
      "slow-caller", "32|" + std::to_string(ready[1]) + "|" + std::to_string(hold[0]));
  close(ready[1]);
  close(hold[0]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the slow caller did not get its connections";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ExecGood(), os::com::kSOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(hold[1]);
  close(ready[0]);
  EXPECT_EQ(base::test::WaitForChild(child), 0);
}

TEST_F(InstallerServiceTest, RequestsAndConnectionsHaveWholeDeadlines) {
  ServiceConfig config = Config();
  config.request_timeout = std::chrono::milliseconds(300);
  config.connection_timeout = std::chrono::seconds(1);
  StartService(config);
  std::string reply;
  // A request that never completes.
  const int partial = Connect();
  ASSERT_EQ(send(partial, "\x10\x00", 2, MSG_NOSIGNAL), 2);
  EXPECT_EQ(protocol::ReadFrame(partial, std::chrono::seconds(20), &reply), IoStatus::kClosed);
  close(partial);
  // Requests that each arrive in time do not keep a connection beyond its own deadline.
  const int busy = Connect();
  const auto start = std::chrono::steady_clock::now();
  while (Ask(busy, CreateRequest()) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  close(busy);
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
  std::map<uid_t, int> running, peak;
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
}  // namespace installer_service
