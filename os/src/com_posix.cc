// The COM stand-in: the privileged installer's "local server" is the tavori-installer-service
// daemon, reached over its Unix socket.  Creating the object connects and asks the service for
// the interface; ExecInstall opens the installer with this process's own rights and hands the
// open descriptor to the service with the request, so the service never opens a path for its
// caller.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "os/com.h"
#include "os/installer_protocol.h"
#include "os/posix/scoped_fd.h"
#include "os/result.h"
#include "os/utf.h"
#include "src/internal/environment_posix.h"

namespace os::com {
namespace {

namespace protocol = os::installer_protocol;
using protocol::IoStatus;
using Json = nlohmann::json;

// How long the service may take to answer: creating the object is quick; ExecInstall copies,
// hashes and verifies the installer first.
constexpr std::chrono::seconds kCreateTimeout{15};
constexpr std::chrono::minutes kExecInstallTimeout{10};

// Sends |request| (with |descriptor| when it is not -1) and returns the HRESULT of the reply, or
// |on_silence| when no reply comes.
HResult Call(int fd, const Json& request, std::chrono::milliseconds timeout, HResult on_silence,
             int descriptor = -1) {
  const IoStatus sent = protocol::WriteFrame(fd, request.dump(), descriptor);
  if (sent == IoStatus::kTooLarge) {
    return kEInvalidArg;
  }
  if (sent != IoStatus::kOk) {
    return kRpcEDisconnected;
  }
  std::string reply;
  switch (protocol::ReadFrame(fd, timeout, &reply)) {
    case IoStatus::kOk:
      break;
    case IoStatus::kTimeout:
      return on_silence;
    default:
      return kRpcEDisconnected;
  }
  const Json parsed = Json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object() || !parsed.contains("hresult") ||
      !parsed["hresult"].is_number_integer()) {
    return kEFail;
  }
  return static_cast<HResult>(parsed["hresult"].get<int64_t>());
}

class SocketPrivilegedInstaller final : public PrivilegedInstaller {
 public:
  explicit SocketPrivilegedInstaller(int fd) : fd_(fd) {}
  ~SocketPrivilegedInstaller() override { close(fd_); }

  HResult ExecInstall(std::wstring_view path, std::wstring_view parameters, std::wstring_view md5,
                      uint32_t session_id, uint32_t mode) override {
    const std::string utf8_path = WideToUtf8(path);
    // Non-blocking, so that a FIFO cannot hold the caller; the service reads only regular files.
    const posix::ScopedFd installer(
        open(utf8_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!installer.valid()) {
      // ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ... as HRESULT_FROM_WIN32 gives them.
      return HResultFromWin32(ErrorFromErrno(errno));
    }
    const Json request = {{"type", "exec_install"},
                          {"path", utf8_path},
                          {"parameters", WideToUtf8(parameters)},
                          {"md5", WideToUtf8(md5)},
                          {"session_id", session_id},
                          {"mode", mode}};
    return Call(fd_, request, kExecInstallTimeout, kRpcETimeout, installer.get());
  }

 private:
  const int fd_;
};

}  // namespace

HResult Initialize() {
  // COM's per-thread initialisation has nothing to set up here; like CoInitialize, a repeated
  // call on the same thread reports S_FALSE.
  thread_local bool initialized = false;
  if (initialized) {
    return kSFalse;
  }
  initialized = true;
  return kSOk;
}

HResult CreatePrivilegedInstaller(const Guid& clsid, const Guid& iid,
                                  std::unique_ptr<PrivilegedInstaller>* instance) {
  if (instance == nullptr) {
    return kEPointer;
  }
  if (clsid != kPrivilegedInstallerClassId) {
    return kRegdbEClassNotReg;
  }
  const std::string path = internal::SystemPath(protocol::kSocketRelativePath);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    return kRegdbEClassNotReg;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return kEOutOfMemory;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    close(fd);
    switch (error) {
      case ENOENT:
      case ENOTDIR:
        return kRegdbEClassNotReg;  // no server registered at that place
      case EACCES:
      case EPERM:
        return kEAccessDenied;
      default:
        return kCoEServerExecFailure;  // a socket that nobody serves
    }
  }
  const Json request = {{"type", "create"}, {"clsid", GuidText(clsid)}, {"iid", GuidText(iid)}};
  HResult result = Call(fd, request, kCreateTimeout, kCoEServerExecFailure);
  if (result == kRpcEDisconnected) {
    // Closed without answering: the server could not serve the object.
    result = kCoEServerExecFailure;
  }
  if (Failed(result)) {
    close(fd);
    return result;
  }
  *instance = std::make_unique<SocketPrivilegedInstaller>(fd);
  return result;
}

}  // namespace os::com
