#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/folders.h"
#include "os/posix/scoped_fd.h"
#include "os/utf.h"
#include "src/internal/environment_posix.h"

namespace os {
namespace {

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// An XDG base directory: $|variable| when it holds an absolute path, else ~/|fallback|.
std::string XdgDirectory(const char* variable, const char* fallback) {
  std::string dir = internal::GetEnv(variable);
  if (dir.empty() || dir.front() != '/') {
    dir = WithoutTrailingSeparators(internal::HomeDirectory()) + "/" + fallback;
  }
  return WithoutTrailingSeparators(dir);
}

bool IsUtf8(const std::string& text) { return WideToUtf8(Utf8ToWide(text)) == text; }

}  // namespace

Result<std::wstring> GetWindowsDirectory() {
  return internal::FitMaxPath(internal::SystemRoot() + "/windows");
}

Result<std::wstring> GetTempDirectory() {
  std::string dir = internal::GetEnv("TMPDIR");
  if (dir.empty()) {
    // Per user, as on Windows.  A failed creation shows when the directory is used.
    dir = XdgDirectory("XDG_CACHE_HOME", ".cache");
    ::mkdir(dir.c_str(), 0700);
    dir += "/tmp";
    ::mkdir(dir.c_str(), 0700);
  }
  if (!IsUtf8(dir)) {
    // Converting would name another directory.
    return Result<std::wstring>::Failure(kErrorNoUnicodeTranslation);
  }
  dir = WithoutTrailingSeparators(dir);
  if (dir != "/") {
    dir += '/';
  }
  return internal::FitMaxPath(dir);
}

ErrorCode EnsurePrivateDirectory(const std::wstring& path) {
  const std::string name = WithoutTrailingSeparators(WideToUtf8(path));
  if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) {
    return ErrorFromErrno(errno);
  }
  // Judge what was opened, not the name: O_NOFOLLOW refuses a link in the last place.
  const posix::ScopedFd fd(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    return errno == ELOOP || errno == ENOTDIR ? kErrorAccessDenied : ErrorFromErrno(errno);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return ErrorFromErrno(errno);
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

Result<std::wstring> GetRoamingAppDataDirectory() {
  return internal::FitMaxPath(XdgDirectory("XDG_CONFIG_HOME", ".config"));
}

Result<std::wstring> GetUserStateDirectory() {
  return internal::FitMaxPath(XdgDirectory("XDG_STATE_HOME", ".local/state"));
}

}  // namespace os
