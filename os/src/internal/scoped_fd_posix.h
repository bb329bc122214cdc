// A file descriptor that is closed when its owner goes out of scope.  Private to the OS layer.
// Not thread-safe; one owner.

#ifndef OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_
#define OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_

#include <unistd.h>

namespace os::internal {

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Closes the descriptor held so far and takes |fd|.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_SCOPED_FD_POSIX_H_
