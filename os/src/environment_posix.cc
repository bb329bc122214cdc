#include "src/internal/environment_posix.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "os/folders.h"
#include "os/utf.h"

namespace os::posix {

std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string SystemRoot() {
  std::string root = GetEnv("TAVORI_SYSTEM_ROOT");
  if (root.empty()) {
    root = "/var/lib/tavori";
  }
  while (root.size() > 1 && root.back() == '/') {
    root.pop_back();
  }
  return root;
}

std::string SystemPath(std::string_view relative) {
  std::string path = SystemRoot();
  path.append(1, '/').append(relative);
  return path;
}

}  // namespace os::posix

namespace os::internal {

std::string HomeDirectory() {
  std::string home = GetEnv("HOME");
  if (!home.empty()) {
    return home;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

Result<std::wstring> FitMaxPath(const std::string& utf8_path) {
  std::wstring wide = Utf8ToWide(utf8_path);
  if (wide.size() >= kMaxPath) {
    return Result<std::wstring>::Failure(kErrorInsufficientBuffer);
  }
  return wide;
}

}  // namespace os::internal
