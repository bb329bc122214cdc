#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "src/internal/rotating_file.h"

namespace base::log {
namespace {

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
// Records name paths and addresses of the user; nobody else needs to read them.
constexpr mode_t kFileMode = 0600;

int OpenRegular(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, kFileMode);
  } while (fd < 0 && errno == EINTR);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Holds an exclusive flock on |fd| for its lifetime; does nothing for -1.
class ScopedFlock {
 public:
  explicit ScopedFlock(int fd) : fd_(fd) {
    if (fd_ < 0) {
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        fd_ = -1;
        return;
      }
    }
  }
  ~ScopedFlock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
    }
  }
  ScopedFlock(const ScopedFlock&) = delete;
  ScopedFlock& operator=(const ScopedFlock&) = delete;

 private:
  int fd_;
};

}  // namespace

RotatingFile::RotatingFile(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files) {}

RotatingFile::~RotatingFile() {
  std::lock_guard<std::mutex> lock(mu_);
  CloseFileLocked();
  if (lock_fd_ >= 0) {
    ::close(lock_fd_);
  }
}

std::string RotatingFile::RotatedName(const std::string& path, size_t index) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  // A dot that starts the file name, ends it or belongs to a directory marks no extension.
  const bool has_extension = dot != std::string::npos && dot + 1 < path.size() &&
                             (slash == std::string::npos ? dot > 0 : dot > slash + 1);
  const std::string stem = has_extension ? path.substr(0, dot) : path;
  const std::string extension = has_extension ? path.substr(dot) : std::string();
  return stem + "." + std::to_string(index) + extension;
}

bool RotatingFile::Write(std::string_view record) {
  std::lock_guard<std::mutex> lock(mu_);
  if (lock_fd_ < 0) {
    // Without a lock file the records are still written, only unsynchronised with other
    // processes; opening it is tried again with the next record.
    lock_fd_ = OpenRegular(path_ + ".lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW);
  }
  ScopedFlock flock(lock_fd_);
  if (!FollowRotationLocked()) {
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    CloseFileLocked();
    return false;
  }
  const auto size = static_cast<size_t>(st.st_size);
  if (size > 0 && size + record.size() > max_size_) {
    RotateLocked();
    if (!OpenCurrentLocked()) {
      return false;
    }
  }
  while (!record.empty()) {
    const ssize_t written = ::write(fd_, record.data(), record.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    record.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool RotatingFile::FollowRotationLocked() {
  if (fd_ >= 0) {
    struct stat at_path {};
    if (::lstat(path_.c_str(), &at_path) == 0 && at_path.st_dev == dev_ && at_path.st_ino == ino_) {
      return true;
    }
    CloseFileLocked();
  }
  return OpenCurrentLocked();
}

bool RotatingFile::OpenCurrentLocked() {
  CloseFileLocked();
  fd_ = OpenRegular(path_, kOpenFlags);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    CloseFileLocked();
    return false;
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

void RotatingFile::RotateLocked() {
  if (max_files_ == 0) {
    // Nothing is kept: the file starts again.  Other writers append with O_APPEND, so they follow.
    if (::ftruncate(fd_, 0) != 0) {
      std::fprintf(stderr, "update log: cannot truncate %s\n", path_.c_str());
    }
    return;
  }
  for (size_t index = max_files_; index > 0; --index) {
    const std::string from = index == 1 ? path_ : RotatedName(path_, index - 1);
    // rename replaces the target, so the oldest file drops out here.
    if (::rename(from.c_str(), RotatedName(path_, index).c_str()) != 0 && errno != ENOENT) {
      std::fprintf(stderr, "update log: cannot rotate %s\n", from.c_str());
    }
  }
}

void RotatingFile::CloseFileLocked() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  dev_ = 0;
  ino_ = 0;
}

}  // namespace base::log
