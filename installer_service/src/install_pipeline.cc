// The install pipeline on the worker threads: take a queued install, check the caller's
// descriptor and the space, copy and hash the installer into the staging directory, check its
// MD5 and its publisher, and start it from the copy.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "authenticode/authenticode.h"
#include "base/log/log.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "os/utf.h"
#include "src/installer_service.h"
#include "src/service_internal.h"
#include "tavori_common/utils/publisher.h"
#include "util/crypto/crypto.h"
#include "util/stringhelp/stringhelp.h"

namespace installer_service {
namespace {

constexpr char kLogSource[] = "installer_service";

using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;
using Json = nlohmann::json;
using os::posix::ScopedFd;

// Random bytes in a staged copy's name.
constexpr size_t kStagedNameRandomBytes = 12;
// The copy buffer: the installer's size, within these bounds.
constexpr uint64_t kMinCopyBuffer = 4096;
constexpr uint64_t kMaxCopyBuffer = uint64_t{1} << 20;

}  // namespace

Clock::time_point Service::StartWorkersIfNeeded() {
  base::AutoLock lock(mu_);
  const Clock::time_point now = Clock::now();
  // Workers not running an install are waiting for one or about to.
  while (worker_count_ < config_.workers && worker_count_ - running_ < queue_.size()) {
    if (now < worker_retry_) {
      return worker_retry_;
    }
    try {
      workers_.emplace_back([this] { WorkerLoop(); });
    } catch (const std::system_error& error) {
      // Out of threads (another user may be exhausting them): the installs wait in the queue.
      worker_backoff_ = NextBackoff(worker_backoff_);
      worker_retry_ = now + worker_backoff_;
      BASE_LOG(kLevelFailure) << "cannot start a worker: " << error.what() << "; retrying in "
                              << worker_backoff_.count() << " ms";
      return worker_retry_;
    }
    ++worker_count_;
    worker_backoff_ = std::chrono::milliseconds(0);
  }
  return Clock::time_point::max();
}

void Service::WorkerLoop() {
  base::AutoLock lock(mu_);
  while (!workers_stop_) {
    // The oldest install whose user has a free place; the others of a busy user wait.
    auto it = std::find_if(queue_.begin(), queue_.end(), [this](const auto& install) REQUIRES(mu_) {
      return CountOf(running_per_user_, install->caller.uid) < config_.max_installs_per_user;
    });
    if (it == queue_.end()) {
      work_ready_.Wait(mu_);
      continue;
    }
    std::unique_ptr<Install> install = std::move(*it);
    queue_.erase(it);
    const uid_t uid = install->caller.uid;
    ++running_;
    ++running_per_user_[uid];
    HResult result;
    uint64_t id = 0;
    {
      base::AutoUnlock unlocked(mu_);
      result = ExecInstall(*install);
      id = install->connection_id;
      install.reset();  // closes the caller's descriptor
    }
    --running_;
    Forget(&running_per_user_, uid);
    finished_.emplace_back(id, result);
    const uint64_t one = 1;
    (void)!write(wake_fd_.get(), &one, sizeof(one));
    // An install of this user that waited may run now.
    work_ready_.Broadcast();
  }
}

HResult Service::ExecInstall(const Install& install) {
  const Caller& caller = install.caller;
  BASE_LOG(kLevelNote) << "ExecInstall from uid " << caller.uid << " pid " << caller.pid
                       << " session " << install.session_id << ": " << install.path;
  if (config_.on_install_started) {
    config_.on_install_started(caller.uid);
  }
  // The descriptor must be a regular file that the caller opened for reading.
  const int source = install.installer.get();
  struct stat st {};
  const int flags = fcntl(source, F_GETFL);
  if (fstat(source, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_PATH) != 0 ||
      (flags & O_ACCMODE) == O_WRONLY) {
    BASE_LOG(kLevelRefused) << "not a regular file open for reading: " << install.path;
    return kEInvalidArg;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > config_.max_installer_bytes) {
    BASE_LOG(kLevelRefused) << "installer too large (" << size << " bytes): " << install.path;
    return HResultFromWin32(kErrorFileTooLarge);
  }
  struct statvfs space {};
  if (fstatvfs(staging_fd_.get(), &space) != 0) {
    return HResultFromErrno(errno);
  }
  const uint64_t free_bytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
  if (free_bytes < size || free_bytes - size < config_.staging_reserve_bytes) {
    BASE_LOG(kLevelFailure) << "too little space to stage " << install.path << " (" << size
                            << " bytes, " << free_bytes << " free)";
    return HResultFromWin32(kErrorDiskFull);
  }

  std::string staged_path;
  ScopedFd staged;
  std::string actual_md5;
  HResult hr = Stage(source, size, &staged_path, &staged, &actual_md5);
  if (hr != kSOk) {
    BASE_LOG(kLevelFailure) << "cannot stage " << install.path << ": " << HResultText(hr);
    return hr;
  }
  if (actual_md5 != util::stringhelp::ToLowerAscii(install.md5)) {
    BASE_LOG(kLevelRefused) << "md5 mismatch for " << install.path << ": " << actual_md5;
    hr = kCryptEHashValue;
  } else {
    hr = CheckPublisher(staged.get());
    if (hr != kSOk) {
      BASE_LOG(kLevelRefused) << "publisher refused for " << install.path << ": "
                              << HResultText(hr);
    }
  }
  if (hr == kSOk) {
    hr = Start(staged.get(), std::filesystem::path(install.path).filename().string(),
               install.parameters);
  }
  // A started installer runs from its descriptor; the copy's name is not needed any more.
  unlinkat(staging_fd_.get(), staged_path.c_str(), 0);
  if (hr != kSOk) {
    return hr;
  }
  BASE_LOG(kLevelNote) << "installer started: " << install.path;
  return kSOk;
}

HResult Service::Stage(int source, uint64_t size, std::string* staged_path, ScopedFd* staged,
                       std::string* md5) {
  unsigned char random[kStagedNameRandomBytes];
  if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    return HResultFromErrno(errno);
  }
  std::string name = "installer-";
  for (unsigned char byte : random) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", byte);
    name += hex;
  }
  ScopedFd out(openat(staging_fd_.get(), name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700));
  if (!out.valid()) {
    return HResultFromErrno(errno);
  }
  auto fail = [&](HResult hr) {
    unlinkat(staging_fd_.get(), name.c_str(), 0);
    return hr;
  };
  util::crypto::Md5Hasher hasher;
  std::vector<char> buffer(std::min(kMaxCopyBuffer, std::max(size, kMinCopyBuffer)));
  // Read from the start whatever the descriptor's offset; a file that grows while it is read is
  // still bounded by the size limit.
  uint64_t total = 0;
  while (true) {
    const ssize_t n = pread(source, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return fail(HResultFromErrno(errno));
    }
    if (n == 0) {
      break;
    }
    total += static_cast<uint64_t>(n);
    if (total > config_.max_installer_bytes) {
      return fail(HResultFromWin32(kErrorFileTooLarge));
    }
    hasher.Update(buffer.data(), static_cast<size_t>(n));
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = write(out.get(), buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w < 0) {
        return fail(HResultFromErrno(errno));
      }
      written += w;
    }
  }
  *md5 = hasher.Finish();
  *staged_path = name;
  *staged = std::move(out);
  return kSOk;
}

HResult Service::CheckPublisher(int staged_fd) {
  // The bundle is read afresh for every installer: an administrator may change it.
  std::string error;
  const std::unique_ptr<authenticode::TrustStore> trust =
      authenticode::TrustStore::LoadBundleOrSystemDefault(config_.trust_bundle_path, &error);
  if (!trust) {
    // A broken bundle trusts nothing rather than falling back to the system's roots.
    BASE_LOG(kLevelFailure) << "cannot load " << config_.trust_bundle_path << ": " << error;
    return kCertEUntrustedRoot;
  }
  const authenticode::VerifyResult result = authenticode::VerifyDescriptor(staged_fd, *trust);
  if (!result.ok()) {
    BASE_LOG(kLevelRefused) << "signature: " << authenticode::StatusName(result.status) << ": "
                            << result.detail;
  }
  switch (result.status) {
    case authenticode::Status::kOk:
      if (tavori_common::utils::publisher::IsAcceptedPublisher(
              os::Utf8ToWide(result.signer_name))) {
        return kSOk;
      }
      BASE_LOG(kLevelRefused) << "publisher not accepted: " << result.signer_name;
      return kTrustESubjectNotTrusted;
    case authenticode::Status::kFileUnreadable:
      return HResultFromWin32(kErrorReadFault);
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
  os::posix::SpawnOptions options;
  options.working_directory = "/";
  const uintptr_t result =
      os::posix::StartProgramFromDescriptor(staged_fd, name, arguments, options);
  if (os::ShellStartSucceeded(result)) {
    return kSOk;
  }
  BASE_LOG(kLevelFailure) << "cannot start " << name << ": shell error " << result;
  // The shell's failures are Win32 error numbers (2 file not found, 5 access denied, ...); 0
  // stands for any other failure.
  return HResultFromWin32(result == 0 ? kErrorReadFault : static_cast<uint32_t>(result));
}

}  // namespace installer_service
