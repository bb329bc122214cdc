// The wire protocol between the privileged installer service (tavori-installer-service) and its
// clients: the POSIX stand-in for the service's COM local server.  The OS layer's COM stand-in
// (os/com.h) is the client; the service is a program of its own that links this.
//
// A client connects to the service's Unix stream socket and exchanges frames: a 4-byte
// little-endian length followed by that many bytes of UTF-8 JSON (one object).  Each request gets
// exactly one reply, {"hresult": <signed 32-bit HRESULT>}, before the next request is read.
//
//   {"type": "create", "clsid": "{...}", "iid": "{...}"}
//       First request: asks for the object; S_OK, or E_NOINTERFACE / REGDB_E_CLASSNOTREG.
//   {"type": "exec_install", "path": "...", "parameters": "...", "md5": "...",
//    "session_id": <uint32>, "mode": <uint32>}
//       IPrivilegedInstaller::ExecInstall.  The frame carries, as SCM_RIGHTS ancillary data, the
//       installer itself: one descriptor that the client opened for reading with its own rights.
//       "path" only names it (for the program's name and the service's records).
//
// Descriptors travel with the first byte of the frame they belong to.  Frames larger than
// kMaxFrameBytes are refused without being read.  All functions here are pure or work on a
// descriptor the caller owns; any thread.  A FrameReader belongs to one thread at a time.

#ifndef OS_INSTALLER_PROTOCOL_H_
#define OS_INSTALLER_PROTOCOL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/posix/scoped_fd.h"

namespace os::installer_protocol {

inline constexpr size_t kMaxFrameBytes = 64 * 1024;

// The socket's place under the machine-wide root of the stand-ins.
inline constexpr char kSocketRelativePath[] = "run/privileged-installer.sock";

enum class IoStatus {
  kOk,
  kClosed,    // the peer closed the connection (before a whole frame)
  kTimeout,   // nothing (more) arrived in time
  kTooLarge,  // the announced frame is above kMaxFrameBytes
  kError,     // any other failure of the descriptor, or a non-blocking socket that is full
};

// Writes one frame holding |payload|; with |descriptor| >= 0, that descriptor goes with it.
// Never raises SIGPIPE.  On a non-blocking socket a frame that does not fit at once is kError.
IoStatus WriteFrame(int fd, std::string_view payload, int descriptor = -1);

// Reads one frame into |payload|, waiting at most |timeout| for all of it.  Descriptors that
// arrive with it are closed: replies carry none.
IoStatus ReadFrame(int fd, std::chrono::milliseconds timeout, std::string* payload);

// Reads one frame at a time from a socket without blocking, for a server that waits on many
// connections at once.  It keeps at most one received descriptor per frame (received
// close-on-exec); any further descriptor is closed at once, and it or any other ancillary data
// marks the frame.
class FrameReader {
 public:
  enum class Result {
    kIncomplete,  // nothing more to read now; call again when the socket is readable
    kFrame,       // a whole frame is there: Take() it
    kClosed,      // the peer closed the connection
    kTooLarge,    // the announced frame is above kMaxFrameBytes
    kError,       // any other failure
  };
  struct Frame {
    std::string payload;
    posix::ScopedFd descriptor;    // the descriptor that came with the frame, if one did
    bool extra_ancillary = false;  // more than one descriptor, or other ancillary data
  };

  // Reads what |fd| holds, up to the end of the current frame.
  Result Read(int fd);
  // After kFrame: the frame; the reader starts on the next one.
  Frame Take();
  // Whether any byte of the current frame has arrived.
  bool started() const { return header_size_ > 0; }

 private:
  void TakeAncillary(void* raw);

  unsigned char header_[4] = {};
  size_t header_size_ = 0;
  size_t payload_size_ = 0;  // bytes of |frame_.payload| received so far
  Frame frame_;
};

}  // namespace os::installer_protocol

#endif  // OS_INSTALLER_PROTOCOL_H_
