// The log file primitives on POSIX descriptors: flock for the lock, device and inode for the
// identity.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "src/internal/rotating_file.h"

namespace base::log::internal {
namespace {

// Records name paths and addresses of the user; nobody else needs to read them.
constexpr mode_t kFileMode = 0600;

NativeFile OpenRegular(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  } while (fd < 0 && errno == EINTR);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    return kNoFile;
  }
  return fd < 0 ? kNoFile : fd;
}

int Fd(NativeFile file) { return static_cast<int>(file); }

}  // namespace

NativeFile OpenLockFile(const std::string& path) { return OpenRegular(path, O_RDWR); }

NativeFile OpenForAppend(const std::string& path) { return OpenRegular(path, O_WRONLY | O_APPEND); }

void CloseFile(NativeFile file) { ::close(Fd(file)); }

bool LockFile(NativeFile file) {
  while (::flock(Fd(file), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

void UnlockFile(NativeFile file) { ::flock(Fd(file), LOCK_UN); }

bool IdentifyFile(NativeFile file, FileIdentity* identity, uint64_t* size) {
  struct stat st {};
  if (::fstat(Fd(file), &st) != 0) {
    return false;
  }
  *identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool IdentifyPath(const std::string& path, FileIdentity* identity) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return false;
  }
  *identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool AppendToFile(NativeFile file, std::string_view data) {
  // O_APPEND: every write lands at the end, whoever else appends.
  while (!data.empty()) {
    const ssize_t written = ::write(Fd(file), data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool TruncateFile(NativeFile file, const std::string& /*path*/) {
  return ::ftruncate(Fd(file), 0) == 0;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT;
}

}  // namespace base::log::internal
