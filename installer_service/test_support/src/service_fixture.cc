#include "installer_service/test/service_fixture.h"

#include <grp.h>
#include <malloc.h>
#include <sys/un.h>

#include <cstdio>

#include "base/test/child_process.h"

namespace installer_service::test {

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

size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

}  // namespace installer_service::test

// The sanitizers' count of the heap in use; absent (null) when no sanitizer runs.  Its name is
// the runtime's.
extern "C" size_t __sanitizer_get_current_allocated_bytes()  // NOLINT(bugprone-reserved-identifier)
    __attribute__((weak));

namespace installer_service::test {

// The heap in use: the sanitizer's count when one runs (freed memory sits in its quarantine and
// would blur the resident size), else malloc's.
size_t HeapBytes() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return __sanitizer_get_current_allocated_bytes();
  }
  return mallinfo2().uordblks;
}

namespace {

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
  int count = 0;
  int ready_fd = -1;
  int hold_fd = -1;
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

}  // namespace
}  // namespace installer_service::test
