// The wire protocol between the privileged installer service (tavori-installer-service) and its
// clients, the POSIX stand-in for the service's COM local server.
//
// A client connects to the service's Unix stream socket and exchanges frames: a 4-byte
// little-endian length followed by that many bytes of UTF-8 JSON (one object).  Each request gets
// exactly one reply, {"hresult": <signed 32-bit HRESULT>}, before the next request is read.
//
//   {"type": "create", "clsid": "{...}", "iid": "{...}"}
//       First request: asks for the object; S_OK, or E_NOINTERFACE / REGDB_E_CLASSNOTREG.
//   {"type": "exec_install", "path": "...", "parameters": "...", "md5": "...",
//    "session_id": <uint32>, "mode": <uint32>}
//       IPrivilegedInstaller::ExecInstall.
//
// Frames larger than kMaxFrameBytes are refused without being read.  All functions here are pure
// or work on a descriptor the caller owns; any thread.

#ifndef INSTALLER_SERVICE_PROTOCOL_H_
#define INSTALLER_SERVICE_PROTOCOL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace installer_service {

inline constexpr size_t kMaxFrameBytes = 64 * 1024;

// The class and interface of the privileged installer, in registry form.
inline constexpr char kClassId[] = "{3D5A1C72-8E4B-4F09-B6A1-52C7E9D04A18}";
inline constexpr char kInterfaceId[] = "{A6E2F931-07BD-4C58-9E3A-D41B8F6527C0}";

// The socket's place under the machine-wide root of the stand-ins.
inline constexpr char kSocketRelativePath[] = "run/privileged-installer.sock";

enum class IoStatus {
  kOk,
  kClosed,    // the peer closed the connection (before a whole frame)
  kTimeout,   // nothing (more) arrived in time
  kTooLarge,  // the announced frame is above kMaxFrameBytes
  kError,     // any other failure of the descriptor
};

// Writes one frame holding |payload|.  Never raises SIGPIPE.
IoStatus WriteFrame(int fd, std::string_view payload);

// Reads one frame into |payload|, waiting at most |timeout| for all of it.
IoStatus ReadFrame(int fd, std::chrono::milliseconds timeout, std::string* payload);

}  // namespace installer_service

#endif  // INSTALLER_SERVICE_PROTOCOL_H_
