#include "installer_service/test/service_fixture.h"

#include <grp.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/test/child_process.h"
#include "os/posix/environment.h"
#include "os/utf.h"

// The sanitizers' count of the heap in use; absent (null) when no sanitizer runs.  Its name is
// the runtime's.
extern "C" size_t __sanitizer_get_current_allocated_bytes()  // NOLINT(bugprone-reserved-identifier)
    __attribute__((weak));

namespace installer_service::test {
namespace {

// Becomes uid/gid |id| with only |group| (when not 0) as supplementary group.
bool DropTo(uid_t id, gid_t group) {
  const gid_t groups[] = {group};
  return setgroups(group != 0 ? 1 : 0, groups) == 0 && setresgid(id, id, id) == 0 &&
         setresuid(id, id, id) == 0;
}

// In a child, as nobody: creates the object and, when a path is given, asks for that installer
// (its MD5 taken before dropping root).  Exits 0 when the HRESULT is the expected one.
// arg: "<group>|<expected hex>|<path>".
const bool kAsNobody = base::test::RunChildRoleIfAsked("as-nobody", [](const std::string& arg) {
  unsigned group = 0;
  unsigned expected = 0;
  int consumed = 0;
  if (std::sscanf(arg.c_str(), "%u|%x|%n", &group, &expected, &consumed) != 2) {
    return 3;
  }
  const std::string path = arg.substr(static_cast<size_t>(consumed));
  const std::string md5 = FileMd5(path);
  if (!DropTo(kNobody, group)) {
    return 3;
  }
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  os::com::HResult hr = os::com::CreatePrivilegedInstaller(kClsid, kIid, &installer);
  if (!os::com::Failed(hr) && !path.empty()) {
    hr = installer->ExecInstall(os::Utf8ToWide(path), L"/S", os::Utf8ToWide(md5), 1, 1);
  }
  if (hr != static_cast<os::com::HResult>(expected)) {
    fprintf(stderr, "HRESULT %s, expected %s\n", HResultText(hr).c_str(),
            HResultText(static_cast<os::com::HResult>(expected)).c_str());
    return 2;
  }
  return 0;
});

// In a child, as nobody: opens |count| connections that each send half a frame header, writes a
// byte to |fd| and holds them until |fd| reaches its end.  arg: "<count>|<fd>".
const bool kSlowCaller = base::test::RunChildRoleIfAsked("slow-caller", [](const std::string& arg) {
  int count = 0;
  int fd = -1;
  if (std::sscanf(arg.c_str(), "%d|%d", &count, &fd) != 2 || !DropTo(kNobody, 0)) {
    return 3;
  }
  std::vector<int> connections;
  for (int i = 0; i < count; ++i) {
    connections.push_back(ConnectTo(os::posix::SystemPath(protocol::kSocketRelativePath)));
    if (connections.back() < 0 || send(connections.back(), "\x10\x00", 2, MSG_NOSIGNAL) != 2) {
      return 4;
    }
  }
  char byte = 'r';
  (void)!write(fd, &byte, 1);
  while (read(fd, &byte, 1) > 0) {
  }
  return 0;
});

}  // namespace

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

size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// The heap in use: the sanitizer's count when one runs (freed memory sits in its quarantine and
// would blur the resident size), else malloc's.
size_t HeapBytes() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return __sanitizer_get_current_allocated_bytes();
  }
  return mallinfo2().uordblks;
}

bool InstallerServiceTest::ExecAsNobody(const std::string& path, os::com::HResult expected,
                                        gid_t group) {
  char arg[32];
  std::snprintf(arg, sizeof(arg), "%u|%x|", group, static_cast<unsigned>(expected));
  return base::test::WaitForChild(base::test::SpawnChild("as-nobody", arg + path)) == 0;
}

int64_t InstallerServiceTest::Ask(int fd, const std::string& payload,
                                  const std::vector<int>& descriptors) {
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
  if (protocol::ReadFrame(fd, kBound, &reply) != protocol::IoStatus::kOk) {
    return -2;
  }
  return Json::parse(reply)["hresult"].get<int64_t>();
}

}  // namespace installer_service::test
