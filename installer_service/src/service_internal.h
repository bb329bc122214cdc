// What the installer service's files share: the connection and install records, the per-user
// counts and the request limits.  Private to the service.

#ifndef INSTALLER_SERVICE_SRC_SERVICE_INTERNAL_H_
#define INSTALLER_SERVICE_SRC_SERVICE_INTERNAL_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "os/com.h"
#include "os/installer_protocol.h"
#include "os/posix/scoped_fd.h"
#include "os/result.h"
#include "src/installer_service.h"

namespace installer_service {

using Clock = std::chrono::steady_clock;
using os::com::HResultFromWin32;
using os::com::HResultText;
using os::com::kCertEExpired;
using os::com::kCertEUntrustedRoot;
using os::com::kCertEWrongUsage;
using os::com::kCryptEHashValue;
using os::com::kEInvalidArg;
using os::com::kENoInterface;
using os::com::kENotImpl;
using os::com::kEUnexpected;
using os::com::kNteBadAlgId;
using os::com::kNteBadSignature;
using os::com::kRegdbEClassNotReg;
using os::com::kSOk;
using os::com::kTrustEBadDigest;
using os::com::kTrustENoSignature;
using os::com::kTrustESubjectFormUnknown;
using os::com::kTrustESubjectNotTrusted;

// The one mode ExecInstall knows: start the installer and answer once it runs.
inline constexpr uint32_t kModeStart = 1;
// The longest texts an ExecInstall request may carry.
inline constexpr size_t kMaxPathBytes = 4096;
inline constexpr size_t kMaxParameterBytes = 32 * 1024;
inline constexpr size_t kMaxMd5TextBytes = 64;

// Win32 errors the service answers with (as HRESULTs).
inline constexpr uint32_t kErrorReadFault = 30;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorFileTooLarge = 223;

inline HResult HResultFromErrno(int error) {
  return os::com::HResultFromWin32(os::ErrorFromErrno(error));
}

// A request's payload as decoded, before the descriptor that came with it is looked at.  The
// payload is the caller's and untrusted: anything that is not a JSON object with a string "type"
// is kMalformed, and an ExecInstall is |exec_valid| only when every field is there, of its type
// and within its limit.
struct DecodedRequest {
  enum class Kind { kMalformed, kCreate, kExecInstall, kOther };
  Kind kind = Kind::kMalformed;
  std::string type;  // "type", for records
  // kCreate: the answer (S_OK, or the reason the object cannot be had).
  HResult create_result = kSOk;
  // kExecInstall: whether the fields below are all there and good.
  bool exec_valid = false;
  std::string path;
  std::string parameters;
  std::string md5;
  uint32_t session_id = 0;
};

// Decodes one request's payload.  Pure; any thread.
DecodedRequest DecodeRequest(std::string_view payload);

// How many |per_user| counts for |uid|; a user with none has no entry.
inline size_t CountOf(const std::map<uid_t, size_t>& per_user, uid_t uid) {
  const auto it = per_user.find(uid);
  return it == per_user.end() ? 0 : it->second;
}

// Takes one off |uid|'s count, dropping the entry at zero.
inline void Forget(std::map<uid_t, size_t>* per_user, uid_t uid) {
  const auto it = per_user->find(uid);
  if (it != per_user->end() && --it->second == 0) {
    per_user->erase(it);
  }
}

// One accepted connection.  Loop thread only.
struct Service::Connection {
  enum class State {
    kWaiting,  // accepted, waiting for a slot of its user; not read
    kReading,  // has a slot; reading its next request
    kWorking,  // its ExecInstall is queued or running; not read
  };

  uint64_t id = 0;
  os::posix::ScopedFd fd;
  Caller caller;
  State state = State::kWaiting;
  Clock::time_point wait_deadline;
  Clock::time_point request_deadline;
  Clock::time_point connection_deadline;
  Clock::time_point working_since;
  bool created = false;  // "create" succeeded
  os::installer_protocol::FrameReader reader;
};

// One ExecInstall handed to the workers; owned by the queue, then by the worker running it.
struct Service::Install {
  uint64_t connection_id = 0;
  Caller caller;
  std::string path;
  std::string parameters;
  std::string md5;
  uint32_t session_id = 0;
  os::posix::ScopedFd installer;  // the descriptor the caller sent
};

}  // namespace installer_service

#endif  // INSTALLER_SERVICE_SRC_SERVICE_INTERNAL_H_
