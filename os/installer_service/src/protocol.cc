#include "installer_service/protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace installer_service {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until |fd| is readable or |deadline| passes.
IoStatus WaitReadable(int fd, Clock::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return IoStatus::kTimeout;
    }
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
    if (n > 0) {
      return IoStatus::kOk;
    }
    if (n < 0 && errno != EINTR) {
      return IoStatus::kError;
    }
  }
}

IoStatus ReadExactly(int fd, char* data, size_t size, Clock::time_point deadline) {
  size_t done = 0;
  while (done < size) {
    if (const IoStatus status = WaitReadable(fd, deadline); status != IoStatus::kOk) {
      return status;
    }
    const ssize_t n = recv(fd, data + done, size - done, 0);
    if (n == 0) {
      return IoStatus::kClosed;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return errno == ECONNRESET ? IoStatus::kClosed : IoStatus::kError;
    }
    done += static_cast<size_t>(n);
  }
  return IoStatus::kOk;
}

}  // namespace

IoStatus WriteFrame(int fd, std::string_view payload) {
  if (payload.size() > kMaxFrameBytes) {
    return IoStatus::kTooLarge;
  }
  std::string frame(4, '\0');
  const auto size = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) {
    frame[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  }
  frame.append(payload);
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EPIPE || errno == ECONNRESET ? IoStatus::kClosed : IoStatus::kError;
    }
    done += static_cast<size_t>(n);
  }
  return IoStatus::kOk;
}

IoStatus ReadFrame(int fd, std::chrono::milliseconds timeout, std::string* payload) {
  const Clock::time_point deadline = Clock::now() + timeout;
  char header[4];
  if (const IoStatus status = ReadExactly(fd, header, sizeof(header), deadline);
      status != IoStatus::kOk) {
    return status;
  }
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) {
    size |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  }
  if (size > kMaxFrameBytes) {
    return IoStatus::kTooLarge;
  }
  payload->assign(size, '\0');
  return ReadExactly(fd, payload->data(), size, deadline);
}

}  // namespace installer_service
