#include "os/folders.h"
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

}  // namespace

Result<std::wstring> GetWindowsDirectory() {
  return internal::FitMaxPath(internal::SystemRoot() + "/windows");
}

Result<std::wstring> GetTempDirectory() {
  std::string dir = internal::GetEnv("TMPDIR");
  if (dir.empty()) {
    dir = "/tmp";
  }
  dir = WithoutTrailingSeparators(dir);
  if (dir != "/") {
    dir += '/';
  }
  return internal::FitMaxPath(dir);
}

Result<std::wstring> GetRoamingAppDataDirectory() {
  return internal::FitMaxPath(XdgDirectory("XDG_CONFIG_HOME", ".config"));
}

Result<std::wstring> GetUserStateDirectory() {
  return internal::FitMaxPath(XdgDirectory("XDG_STATE_HOME", ".local/state"));
}

}  // namespace os
