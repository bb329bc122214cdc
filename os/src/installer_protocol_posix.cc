#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/installer_protocol.h"

namespace os::installer_protocol {
namespace {

using Clock = std::chrono::steady_clock;

// Room for a few descriptors per read: enough to notice that a frame carries too many.  What does
// not fit is closed by the kernel and reported as truncated control data.
constexpr size_t kDescriptorsPerRead = 4;

}  // namespace

IoStatus WriteFrame(int fd, std::string_view payload, int descriptor) {
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
    iovec iov{frame.data() + done, frame.size() - done};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (done == 0 && descriptor >= 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
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
  FrameReader reader;
  while (true) {
    switch (reader.Read(fd)) {
      case FrameReader::Result::kFrame:
        *payload = std::move(reader.Take().payload);
        return IoStatus::kOk;
      case FrameReader::Result::kClosed:
        return IoStatus::kClosed;
      case FrameReader::Result::kTooLarge:
        return IoStatus::kTooLarge;
      case FrameReader::Result::kError:
        return IoStatus::kError;
      case FrameReader::Result::kIncomplete:
        break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return IoStatus::kTimeout;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000))) < 0 && errno != EINTR) {
      return IoStatus::kError;
    }
  }
}

FrameReader::Result FrameReader::Read(int fd) {
  while (true) {
    char* data;
    size_t wanted;
    if (header_size_ < sizeof(header_)) {
      data = reinterpret_cast<char*>(header_) + header_size_;
      wanted = sizeof(header_) - header_size_;
    } else {
      wanted = frame_.payload.size() - payload_size_;
      if (wanted == 0) {
        return Result::kFrame;
      }
      data = frame_.payload.data() + payload_size_;
    }
    iovec iov{data, wanted};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kDescriptorsPerRead)];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return Result::kIncomplete;
      }
      return errno == ECONNRESET ? Result::kClosed : Result::kError;
    }
    TakeAncillary(&message);
    if (n == 0) {
      return Result::kClosed;
    }
    if (header_size_ < sizeof(header_)) {
      header_size_ += static_cast<size_t>(n);
      if (header_size_ == sizeof(header_)) {
        uint32_t size = 0;
        for (int i = 0; i < 4; ++i) {
          size |= static_cast<uint32_t>(header_[i]) << (8 * i);
        }
        if (size > kMaxFrameBytes) {
          return Result::kTooLarge;
        }
        frame_.payload.assign(size, '\0');
      }
    } else {
      payload_size_ += static_cast<size_t>(n);
    }
  }
}

void FrameReader::TakeAncillary(void* raw) {
  auto* message = static_cast<msghdr*>(raw);
  if ((message->msg_flags & MSG_CTRUNC) != 0) {
    frame_.extra_ancillary = true;
  }
  for (cmsghdr* header = CMSG_FIRSTHDR(message); header != nullptr;
       header = CMSG_NXTHDR(message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
      frame_.extra_ancillary = true;
      continue;
    }
    const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int received;
      std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
      if (!frame_.descriptor.valid() && !frame_.extra_ancillary) {
        frame_.descriptor.reset(received);
      } else {
        // A frame carries one descriptor at most; nothing more is kept.
        close(received);
        frame_.descriptor.reset();
        frame_.extra_ancillary = true;
      }
    }
  }
}

FrameReader::Frame FrameReader::Take() {
  Frame frame = std::move(frame_);
  frame_ = Frame();
  header_size_ = 0;
  payload_size_ = 0;
  return frame;
}

}  // namespace os::installer_protocol
