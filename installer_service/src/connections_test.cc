// The event loop: creating the object, reclaiming and limiting connections, deadlines.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "base/test/child_process.h"
#include "installer_service/test/service_fixture.h"

namespace installer_service::test {
namespace {

namespace protocol = os::installer_protocol;

// A Unix stream socket bound at |path| (its folder made), or -1.
int BoundSocket(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(InstallerServiceTest, CreatingTheObject) {
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  // No socket at all: the class is not registered.
  EXPECT_EQ(Create(&installer), os::com::kRegdbEClassNotReg);
  // Another class is never looked for.
  const os::com::Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(os::com::CreatePrivilegedInstaller(other, os::com::kPrivilegedInstallerInterfaceId,
                                               &installer),
            os::com::kRegdbEClassNotReg);
  // A socket that nobody serves.
  const int fd = BoundSocket(SocketPath());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Create(&installer), os::com::kCoEServerExecFailure);
  close(fd);
  EXPECT_EQ(installer, nullptr);
  // A served socket: the one interface, and no other.
  StartService();
  EXPECT_EQ(Create(&installer, {0xA6E2F931, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}),
            os::com::kENoInterface);
  EXPECT_EQ(installer, nullptr);
  EXPECT_EQ(Create(&installer), os::com::kSOk);
  EXPECT_NE(installer, nullptr);
}

TEST_F(InstallerServiceTest, OnlyAListeningUnixSocketHandedOverIsServed) {
  // What a service manager hands over (socket activation); anything else is refused.
  ServiceConfig config = Config();
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  close(pipe_fds[1]);
  for (int handed : {pipe_fds[0], socket(AF_UNIX, SOCK_STREAM, 0), socket(AF_INET, SOCK_STREAM, 0),
                     socket(AF_UNIX, SOCK_DGRAM, 0)}) {
    config.inherited_listen_fd = handed;
    EXPECT_FALSE(Service(config).Listen()) << handed;
  }
  const int fd = BoundSocket(SocketPath());
  ASSERT_EQ(listen(fd, 8), 0);
  config.inherited_listen_fd = fd;
  StartService(config);
  EXPECT_EQ(ExecGood(), os::com::kSOk);
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
  // A caller that hangs up with its answer unread.
  const int rude = Connect();
  ASSERT_EQ(protocol::WriteFrame(rude, CreateRequest()), protocol::IoStatus::kOk);
  pollfd answered{rude, POLLIN, 0};
  ASSERT_EQ(poll(&answered, 1, 20'000), 1);
  close(rude);
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
  // A first exchange before the table is full: the service's thread is running, and the code it
  // runs has been type-checked once (clang's UBSan needs a pipe to check a dynamic type it has
  // not seen, and would call a failed pipe an invalid object).
  const int first = Connect();
  ASSERT_EQ(Ask(first, CreateRequest()), 0);
  close(first);
  ASSERT_TRUE(WaitUntil([&] { return service_->GetStats().serving == 0; }));
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
  EXPECT_LE(service_->GetStats().accept_failures,
            5 + static_cast<size_t>((std::chrono::steady_clock::now() - start) /
                                    std::chrono::milliseconds(200)));
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
  callers.reserve(results.size());
  for (os::com::HResult& result : results) {
    callers.emplace_back([this, &result] { result = ExecGood(); });
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
  // The child holds 32 half-sent requests, as another user, until its end of |link| closes.
  int link[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
  ASSERT_EQ(fcntl(link[1], F_SETFD, 0), 0);
  const pid_t child = base::test::SpawnChild("slow-caller", "32|" + std::to_string(link[1]));
  close(link[1]);
  char byte = 0;
  ASSERT_EQ(read(link[0], &byte, 1), 1) << "the slow caller did not get its connections";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ExecGood(), os::com::kSOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(link[0]);
  EXPECT_EQ(base::test::WaitForChild(child), 0);
}

TEST_F(InstallerServiceTest, RequestsAndConnectionsHaveWholeDeadlines) {
  ServiceConfig config = Config();
  config.request_timeout = std::chrono::milliseconds(300);
  config.connection_timeout = std::chrono::seconds(1);
  StartService(config);
  // A request that never completes.
  const int partial = Connect();
  ASSERT_EQ(send(partial, "\x10\x00", 2, MSG_NOSIGNAL), 2);
  std::string reply;
  EXPECT_EQ(protocol::ReadFrame(partial, kBound, &reply), protocol::IoStatus::kClosed);
  close(partial);
  // Requests that each arrive in time do not keep a connection beyond its own deadline.
  const int busy = Connect();
  const auto start = std::chrono::steady_clock::now();
  while (Ask(busy, CreateRequest()) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, kBound);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  close(busy);
}

}  // namespace
}  // namespace installer_service::test
