#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "os/installer_file.h"
#include "os/posix/scoped_fd.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

using posix::ScopedFd;

// The largest installer that is copied; a larger file is refused as if memory had run out, so that
// a file planted under the installer's name cannot make the caller spend unbounded memory.
constexpr uint64_t kMaxInstallerSize = uint64_t{2} << 30;

// Whether the directory that would hold |path| exists: a missing one is "path not found", as
// Windows tells the two apart.
bool ParentDirectoryExists(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return true;  // the current directory
  }
  struct stat st {};
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies the regular file open on |source| (|size| bytes as it was opened; less if it shrinks
// meanwhile) into |copy|, a new memory file, and seals it so that nobody, this process included,
// can change it any more.  Its execute permission follows whether this process may execute
// |source|.  Returns 0 or a ShellExecute error.
uintptr_t FillSealedCopy(int source, uint64_t size, int copy) {
  off_t offset = 0;
  while (static_cast<uint64_t>(offset) < size) {
    const ssize_t sent = sendfile(copy, source, &offset, size - static_cast<uint64_t>(offset));
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent < 0) {
      return errno == ENOMEM || errno == ENOSPC ? kShellErrorOutOfMemory
                                                : kShellErrorOutOfResources;
    }
    if (sent == 0) {
      break;  // the file shrank: the copy holds what was there
    }
  }
  // Executable as the original is for us (noexec mounts included), checked through the open file.
  const std::string source_path = "/proc/self/fd/" + std::to_string(source);
  const bool executable = faccessat(AT_FDCWD, source_path.c_str(), X_OK, AT_EACCESS) == 0;
  if (fchmod(copy, executable ? 0500 : 0400) != 0 ||
      fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return kShellErrorOutOfResources;
  }
  return 0;
}

}  // namespace

InstallerFile InstallerFile::Open(const std::wstring& path) {
  std::wstring name = path.substr(0, path.find(L'\0'));
  if (name.empty()) {
    return InstallerFile(std::move(name), kNotOpen, kShellErrorFileNotFound);
  }
  const std::string narrow = WideToUtf8(name);
  // O_NONBLOCK: a FIFO at the path must not block the open.
  ScopedFd fd(open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    const int open_errno = errno;
    const uintptr_t error = open_errno == ENOENT && !ParentDirectoryExists(narrow)
                                ? kShellErrorPathNotFound
                                : posix::ShellErrorFromErrno(open_errno);
    return InstallerFile(std::move(name), kNotOpen, error);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    return InstallerFile(std::move(name), kNotOpen, posix::ShellErrorFromErrno(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    // A directory, a FIFO, a device: no program the shell would start.
    return InstallerFile(std::move(name), kNotOpen, kShellErrorNoAssociation);
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxInstallerSize) {
    return InstallerFile(std::move(name), kNotOpen, kShellErrorOutOfMemory);
  }
  // Whoever may write the file can still write it; the sealed copy is what is checked and
  // started, so a write (or a rename) after this point changes neither.
  const int copy = memfd_create("installer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (copy < 0) {
    return InstallerFile(std::move(name), kNotOpen, posix::ShellErrorFromErrno(errno));
  }
  const uintptr_t error = FillSealedCopy(fd.get(), static_cast<uint64_t>(st.st_size), copy);
  if (error != 0) {
    close(copy);
    return InstallerFile(std::move(name), kNotOpen, error);
  }
  return InstallerFile(std::move(name), copy, 0);
}

void InstallerFile::CloseNative(intptr_t native) {
  if (native != kNotOpen) {
    close(static_cast<int>(native));
  }
}

}  // namespace os
