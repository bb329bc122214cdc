// A file descriptor that is closed when its owner goes out of scope.  A POSIX facility for the OS
// layer and the project's programs.  Not thread-safe; one owner.

#ifndef OS_POSIX_SCOPED_FD_H_
#define OS_POSIX_SCOPED_FD_H_

#include <unistd.h>

namespace os::posix {

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership: the descriptor, which the caller must close.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

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

}  // namespace os::posix

#endif  // OS_POSIX_SCOPED_FD_H_
