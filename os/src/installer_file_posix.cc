#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/installer_file.h"
#include "os/shell.h"
#include "os/utf.h"
#include "src/internal/spawn_posix.h"

namespace os {
namespace {

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

}  // namespace

InstallerFile InstallerFile::Open(const std::wstring& path) {
  std::wstring name = path.substr(0, path.find(L'\0'));
  if (name.empty()) {
    return InstallerFile(std::move(name), kNotOpen, kShellErrorFileNotFound);
  }
  const std::string narrow = WideToUtf8(name);
  // O_NONBLOCK: a FIFO at the path must not block the open.  The descriptor is not inherited by
  // anything started meanwhile; a start from it makes its own copy where the program needs one.
  const int fd = open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int open_errno = errno;
    const uintptr_t error = open_errno == ENOENT && !ParentDirectoryExists(narrow)
                                ? kShellErrorPathNotFound
                                : internal::ShellErrorFromErrno(open_errno);
    return InstallerFile(std::move(name), kNotOpen, error);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  return InstallerFile(std::move(name), fd, 0);
}

void InstallerFile::CloseNative(intptr_t native) {
  if (native != kNotOpen) {
    close(static_cast<int>(native));
  }
}

}  // namespace os
