#include "util/file/file_util.h"

#include <filesystem>
#include <system_error>

#include "base/log/log.h"
#include "os/path.h"
#include "os/utf.h"

namespace util::file {
namespace {
constexpr char kLogSource[] = "base_file";
}  // namespace

std::string MakeChildDirPath(const std::string& parent, const std::string& child) {
  std::wstring path = os::Utf8ToWide(parent);
  if (!path.empty() && path.back() != os::kPathSeparator) {
    path.push_back(os::kPathSeparator);
  }
  path += os::Utf8ToWide(child);
  std::string dir = os::WideToUtf8(path);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(std::u8string(dir.begin(), dir.end())),
                                      error);
  if (error) {
    BASE_LOG(base::log::kLevelRefused)
        << "create directory failed: " << dir << ", error: " << error.message();
  }
  if (dir.empty() || dir.back() != static_cast<char>(os::kPathSeparator)) {
    dir.push_back(static_cast<char>(os::kPathSeparator));
  }
  return dir;
}

}  // namespace util::file
