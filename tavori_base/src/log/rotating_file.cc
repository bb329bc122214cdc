// The rotation shared by every platform; the file primitives are in rotating_file_<platform>.cc.

#include "src/internal/rotating_file.h"

#include <cstdio>
#include <utility>

namespace base::log {
namespace {

// Holds the lock of a lock file for its lifetime; does nothing for kNoFile.
class ScopedFileLock {
 public:
  explicit ScopedFileLock(internal::NativeFile file) : file_(file) {
    if (file_ != internal::kNoFile && !internal::LockFile(file_)) {
      file_ = internal::kNoFile;
    }
  }
  ~ScopedFileLock() {
    if (file_ != internal::kNoFile) {
      internal::UnlockFile(file_);
    }
  }
  ScopedFileLock(const ScopedFileLock&) = delete;
  ScopedFileLock& operator=(const ScopedFileLock&) = delete;

 private:
  internal::NativeFile file_;
};

}  // namespace

RotatingFile::RotatingFile(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files) {}

RotatingFile::~RotatingFile() {
  AutoLock hold(lock_);
  CloseFileLocked();
  if (lock_file_ != internal::kNoFile) {
    internal::CloseFile(lock_file_);
  }
}

std::string RotatingFile::RotatedName(const std::string& path, size_t index) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.find_last_of("/\\");
  // A dot that starts the file name, ends it or belongs to a directory marks no extension.
  const bool has_extension = dot != std::string::npos && dot + 1 < path.size() &&
                             (slash == std::string::npos ? dot > 0 : dot > slash + 1);
  const std::string stem = has_extension ? path.substr(0, dot) : path;
  const std::string extension = has_extension ? path.substr(dot) : std::string();
  return stem + "." + std::to_string(index) + extension;
}

bool RotatingFile::Write(std::string_view record) {
  AutoLock hold(lock_);
  if (lock_file_ == internal::kNoFile) {
    // Without a lock file the records are still written, only unsynchronised with other
    // processes; opening it is tried again with the next record.
    lock_file_ = internal::OpenLockFile(path_ + ".lock");
  }
  ScopedFileLock file_lock(lock_file_);
  if (!FollowRotationLocked()) {
    return false;
  }
  internal::FileIdentity identity;
  uint64_t size = 0;
  if (!internal::IdentifyFile(file_, &identity, &size)) {
    CloseFileLocked();
    return false;
  }
  if (size > 0 && size + record.size() > max_size_) {
    RotateLocked();
    if (!OpenCurrentLocked()) {
      return false;
    }
  }
  return internal::AppendToFile(file_, record);
}

bool RotatingFile::FollowRotationLocked() {
  if (file_ != internal::kNoFile) {
    internal::FileIdentity at_path;
    if (internal::IdentifyPath(path_, &at_path) && at_path == identity_) {
      return true;
    }
    CloseFileLocked();
  }
  return OpenCurrentLocked();
}

bool RotatingFile::OpenCurrentLocked() {
  CloseFileLocked();
  file_ = internal::OpenForAppend(path_);
  uint64_t size = 0;
  if (file_ == internal::kNoFile || !internal::IdentifyFile(file_, &identity_, &size)) {
    CloseFileLocked();
    return false;
  }
  return true;
}

void RotatingFile::RotateLocked() {
  if (max_files_ == 0) {
    // Nothing is kept: the file starts again.  Other writers append at the end, so they follow.
    if (!internal::TruncateFile(file_, path_)) {
      std::fprintf(stderr, "update log: cannot truncate %s\n", path_.c_str());
    }
    return;
  }
  for (size_t index = max_files_; index > 0; --index) {
    const std::string from = index == 1 ? path_ : RotatedName(path_, index - 1);
    // The rename replaces the target, so the oldest file drops out here.
    if (!internal::RenameReplacing(from, RotatedName(path_, index))) {
      std::fprintf(stderr, "update log: cannot rotate %s\n", from.c_str());
    }
  }
}

void RotatingFile::CloseFileLocked() {
  if (file_ != internal::kNoFile) {
    internal::CloseFile(file_);
  }
  file_ = internal::kNoFile;
  identity_ = {};
}

}  // namespace base::log
