#include "src/installer_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fsuid.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "authenticode/authenticode.h"
#include "base/log/log.h"
#include "installer_service/protocol.h"
#include "os/result.h"
#include "os/shell.h"
#include "os/utf.h"
#include "src/internal/spawn_posix.h"
#include "util/crypto/crypto.h"

namespace installer_service {
namespace {

constexpr char kLogSource[] = "installer_service";

using Json = nlohmann::json;
using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;

constexpr HResult kSOk = 0;
constexpr HResult kENotImpl = static_cast<HResult>(0x80004001);
constexpr HResult kENoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFF);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057);
constexpr HResult kRegdbEClassNotReg = static_cast<HResult>(0x80040154);
constexpr HResult kCryptEHashValue = static_cast<HResult>(0x80091007);
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorReadFault = 30;

// Trust verdicts, as WinVerifyTrust reports them.
constexpr HResult kTrustESubjectFormUnknown = static_cast<HResult>(0x800B0003);
constexpr HResult kTrustESubjectNotTrusted = static_cast<HResult>(0x800B0004);
constexpr HResult kTrustENoSignature = static_cast<HResult>(0x800B0100);
constexpr HResult kTrustEBadDigest = static_cast<HResult>(0x80096010);
constexpr HResult kNteBadSignature = static_cast<HResult>(0x80090006);
constexpr HResult kNteBadAlgId = static_cast<HResult>(0x80090008);
constexpr HResult kCertEExpired = static_cast<HResult>(0x800B0101);
constexpr HResult kCertEUntrustedRoot = static_cast<HResult>(0x800B0109);
constexpr HResult kCertEWrongUsage = static_cast<HResult>(0x800B0110);

// The publishers whose installers the service starts, compared exactly.
constexpr const char* kAcceptedPublishers[] = {
    "Halvern Technology(Ostervik) Company Limited",
    "Halvern Technology (Ostervik) Company Limited",
};

// The one mode ExecInstall knows: start the installer and answer once it runs.
constexpr uint32_t kModeStart = 1;

constexpr size_t kMaxPathBytes = 4096;
constexpr size_t kMaxParameterBytes = 32 * 1024;

HResult FromWin32(uint32_t error) {
  return error == 0 ? kSOk : static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}

HResult FromErrno(int error) { return FromWin32(os::ErrorFromErrno(error)); }

bool IsHexMd5(const std::string& text) {
  if (text.size() != 32) {
    return false;
  }
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

// Switches the calling thread's file-system identity to |caller| for its lifetime.  setfsuid and
// setfsgid act on the calling thread only, so other connections are not affected.
class ScopedFileSystemIdentity {
 public:
  explicit ScopedFileSystemIdentity(const Caller& caller)
      : old_gid_(setfsgid(caller.gid)), old_uid_(setfsuid(caller.uid)) {}
  ~ScopedFileSystemIdentity() {
    setfsuid(old_uid_);
    setfsgid(old_gid_);
  }
  ScopedFileSystemIdentity(const ScopedFileSystemIdentity&) = delete;
  ScopedFileSystemIdentity& operator=(const ScopedFileSystemIdentity&) = delete;

 private:
  const int old_gid_;
  const int old_uid_;
};

}  // namespace

std::string HResultText(HResult hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

Service::Service(ServiceConfig config) : config_(std::move(config)) {}

Service::~Service() {
  Stop();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
  }
  if (wake_fd_ >= 0) {
    close(wake_fd_);
  }
}

bool Service::Listen() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path socket_path(config_.socket_path);
  fs::create_directories(socket_path.parent_path(), error);
  fs::create_directories(config_.staging_dir, error);
  if (chmod(config_.staging_dir.c_str(), 0700) != 0) {
    BASE_LOG(kLevelFailure) << "cannot protect the staging directory " << config_.staging_dir
                            << ": " << std::strerror(errno);
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (config_.socket_path.size() >= sizeof(address.sun_path)) {
    BASE_LOG(kLevelFailure) << "socket path too long: " << config_.socket_path;
    return false;
  }
  std::memcpy(address.sun_path, config_.socket_path.c_str(), config_.socket_path.size() + 1);
  // A socket left by an earlier run is replaced; anything else at that place is not touched.
  struct stat st {};
  if (lstat(config_.socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    unlink(config_.socket_path.c_str());
  }
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(config_.socket_path.c_str(), 0666) != 0 || listen(listen_fd_, 16) != 0) {
    BASE_LOG(kLevelFailure) << "cannot listen on " << config_.socket_path << ": "
                            << std::strerror(errno);
    return false;
  }
  BASE_LOG(kLevelNote) << "listening on " << config_.socket_path;
  return true;
}

void Service::Run() {
  while (!stopping_.load()) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      BASE_LOG(kLevelFailure) << "poll failed: " << std::strerror(errno);
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      break;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    if (active_connections_.load() >= config_.max_connections) {
      BASE_LOG(kLevelRefused) << "too many connections; one refused";
      close(fd);
      continue;
    }
    ++active_connections_;
    std::lock_guard<std::mutex> lock(mu_);
    connection_fds_.push_back(fd);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
  // Unblock and finish every connection.
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : connection_fds_) {
      shutdown(fd, SHUT_RDWR);
    }
    threads.swap(connections_);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
}

void Service::Stop() {
  if (stopping_.exchange(true)) {
    return;
  }
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof(one));
  }
}

void Service::Serve(int fd) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  Caller caller;
  const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
  if (known) {
    caller = Caller{credentials.pid, credentials.uid, credentials.gid};
  }
  bool created = false;
  while (known && !stopping_.load()) {
    std::string payload;
    const IoStatus status = ReadFrame(fd, config_.idle_timeout, &payload);
    if (status == IoStatus::kTooLarge) {
      // The rest of the frame cannot be skipped safely: answer and end the connection.
      WriteFrame(fd, Json{{"hresult", kEInvalidArg}}.dump());
      break;
    }
    if (status != IoStatus::kOk) {
      break;
    }
    const Json request = Json::parse(payload, nullptr, /*allow_exceptions=*/false);
    const HResult result = Handle(caller, request, &created);
    if (WriteFrame(fd, Json{{"hresult", result}}.dump()) != IoStatus::kOk) {
      break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    connection_fds_.remove(fd);
  }
  close(fd);
  --active_connections_;
}

HResult Service::Handle(const Caller& caller, const Json& request, bool* created) {
  if (!request.is_object() || !request.contains("type") || !request["type"].is_string()) {
    BASE_LOG(kLevelRefused) << "malformed request from pid " << caller.pid;
    return kEInvalidArg;
  }
  const std::string type = request["type"].get<std::string>();
  if (type == "create") {
    const Json clsid = request.value("clsid", Json());
    const Json iid = request.value("iid", Json());
    if (!clsid.is_string() || clsid.get<std::string>() != kClassId) {
      return kRegdbEClassNotReg;
    }
    if (!iid.is_string() || iid.get<std::string>() != kInterfaceId) {
      return kENoInterface;
    }
    *created = true;
    return kSOk;
  }
  if (type == "exec_install") {
    if (!*created) {
      return kEUnexpected;
    }
    return ExecInstall(caller, request);
  }
  return kENotImpl;
}

HResult Service::ExecInstall(const Caller& caller, const Json& request) {
  auto text = [&request](const char* key, size_t limit, std::string* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_string()) {
      return false;
    }
    *out = it->get<std::string>();
    return out->size() <= limit && out->find('\0') == std::string::npos;
  };
  auto number = [&request](const char* key, uint32_t* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
      return false;
    }
    *out = static_cast<uint32_t>(it->get<uint64_t>());
    return true;
  };
  std::string path;
  std::string parameters;
  std::string md5;
  uint32_t session_id = 0;
  uint32_t mode = 0;
  // The session is recorded; the installer runs as the service, which is the point of asking it.
  if (!text("path", kMaxPathBytes, &path) || !text("parameters", kMaxParameterBytes, &parameters) ||
      !text("md5", 64, &md5) || !number("session_id", &session_id) || !number("mode", &mode) ||
      path.empty() || path.front() != '/' || !IsHexMd5(md5) || mode != kModeStart) {
    BASE_LOG(kLevelRefused) << "bad ExecInstall request from uid " << caller.uid << " pid "
                            << caller.pid;
    return kEInvalidArg;
  }
  BASE_LOG(kLevelNote) << "ExecInstall from uid " << caller.uid << " pid " << caller.pid
                       << " session " << session_id << ": " << path;

  int source = -1;
  if (const HResult hr = OpenAsCaller(caller, path, &source); hr != kSOk) {
    BASE_LOG(kLevelRefused) << "cannot open " << path << ": " << HResultText(hr);
    return hr;
  }
  std::string staged_path;
  int staged = -1;
  std::string actual_md5;
  HResult hr = Stage(source, &staged_path, &staged, &actual_md5);
  close(source);
  if (hr != kSOk) {
    BASE_LOG(kLevelFailure) << "cannot stage " << path << ": " << HResultText(hr);
    return hr;
  }
  if (actual_md5 != Lower(md5)) {
    BASE_LOG(kLevelRefused) << "md5 mismatch for " << path << ": " << actual_md5;
    hr = kCryptEHashValue;
  } else {
    hr = CheckPublisher(staged);
    if (hr != kSOk) {
      BASE_LOG(kLevelRefused) << "publisher refused for " << path << ": " << HResultText(hr);
    }
  }
  if (hr == kSOk) {
    hr = Start(staged, std::filesystem::path(path).filename().string(), parameters);
  }
  // A started installer runs from its descriptor; the copy's name is not needed any more.
  close(staged);
  unlink(staged_path.c_str());
  if (hr != kSOk) {
    return hr;
  }
  BASE_LOG(kLevelNote) << "installer started: " << path;
  return kSOk;
}

HResult Service::OpenAsCaller(const Caller& caller, const std::string& path, int* fd) {
  int opened;
  {
    ScopedFileSystemIdentity as_caller(caller);
    // Non-blocking, so that a FIFO cannot hold the service; the flag is cleared below.
    opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }
  if (opened < 0) {
    return FromErrno(errno);
  }
  struct stat st {};
  if (fstat(opened, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(opened);
    return kEInvalidArg;
  }
  if (static_cast<uint64_t>(st.st_size) > config_.max_installer_bytes) {
    close(opened);
    return FromWin32(kErrorFileTooLarge);
  }
  fcntl(opened, F_SETFL, fcntl(opened, F_GETFL) & ~O_NONBLOCK);
  *fd = opened;
  return kSOk;
}

HResult Service::Stage(int source, std::string* staged_path, int* staged_fd, std::string* md5) {
  unsigned char random[12];
  if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    return FromErrno(errno);
  }
  std::string name = "installer-";
  for (unsigned char byte : random) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", byte);
    name += hex;
  }
  *staged_path = config_.staging_dir + "/" + name;
  const int out =
      open(staged_path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700);
  if (out < 0) {
    return FromErrno(errno);
  }
  util::crypto::Md5Hasher hasher;
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  while (true) {
    const ssize_t n = read(source, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      const int error = errno;
      close(out);
      unlink(staged_path->c_str());
      return FromErrno(error);
    }
    if (n == 0) {
      break;
    }
    total += static_cast<uint64_t>(n);
    if (total > config_.max_installer_bytes) {
      close(out);
      unlink(staged_path->c_str());
      return FromWin32(kErrorFileTooLarge);
    }
    hasher.Update(buffer.data(), static_cast<size_t>(n));
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = write(out, buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w < 0) {
        const int error = errno;
        close(out);
        unlink(staged_path->c_str());
        return FromErrno(error);
      }
      written += w;
    }
  }
  *md5 = hasher.Finish();
  *staged_fd = out;
  return kSOk;
}

HResult Service::CheckPublisher(int staged_fd) {
  // The bundle is read afresh for every installer: an administrator may change it.
  std::unique_ptr<authenticode::TrustStore> trust;
  struct stat st {};
  if (stat(config_.trust_bundle_path.c_str(), &st) == 0) {
    std::string error;
    trust = authenticode::TrustStore::LoadPemFile(config_.trust_bundle_path, &error);
    if (!trust) {
      // A broken bundle trusts nothing rather than falling back to the system's roots.
      BASE_LOG(kLevelFailure) << "cannot load " << config_.trust_bundle_path << ": " << error;
      return kCertEUntrustedRoot;
    }
  } else {
    trust = authenticode::TrustStore::SystemDefault();
  }
  const authenticode::VerifyResult result = authenticode::VerifyDescriptor(staged_fd, *trust);
  if (!result.ok()) {
    BASE_LOG(kLevelRefused) << "signature: " << authenticode::StatusName(result.status) << ": "
                            << result.detail;
  }
  switch (result.status) {
    case authenticode::Status::kOk:
      for (const char* accepted : kAcceptedPublishers) {
        if (result.signer_name == accepted) {
          return kSOk;
        }
      }
      BASE_LOG(kLevelRefused) << "publisher not accepted: " << result.signer_name;
      return kTrustESubjectNotTrusted;
    case authenticode::Status::kFileUnreadable:
      return FromWin32(kErrorReadFault);
    case authenticode::Status::kNotPe:
      return kTrustESubjectFormUnknown;
    case authenticode::Status::kNoSignature:
    case authenticode::Status::kMalformedSignature:
      return kTrustENoSignature;
    case authenticode::Status::kUnsupportedDigest:
      return kNteBadAlgId;
    case authenticode::Status::kImageHashMismatch:
      return kTrustEBadDigest;
    case authenticode::Status::kSignatureInvalid:
      return kNteBadSignature;
    case authenticode::Status::kUntrustedChain:
      return kCertEUntrustedRoot;
    case authenticode::Status::kCertificateExpired:
      return kCertEExpired;
    case authenticode::Status::kWrongKeyUsage:
      return kCertEWrongUsage;
  }
  return kTrustESubjectNotTrusted;
}

HResult Service::Start(int staged_fd, const std::string& name, const std::string& parameters) {
  std::vector<std::string> arguments;
  for (const std::wstring& argument : os::SplitCommandLine(os::Utf8ToWide(parameters))) {
    arguments.push_back(os::WideToUtf8(argument));
  }
  os::internal::SpawnOptions options;
  options.working_directory = "/";
  const uintptr_t result =
      os::internal::StartProgramFromDescriptor(staged_fd, name, arguments, options);
  if (result > 32) {
    return kSOk;
  }
  BASE_LOG(kLevelFailure) << "cannot start " << name << ": shell error " << result;
  // The shell's failures are Win32 error numbers (2 file not found, 5 access denied, ...); 0
  // stands for any other failure.
  return FromWin32(result == 0 ? kErrorReadFault : static_cast<uint32_t>(result));
}

}  // namespace installer_service
