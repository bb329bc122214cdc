#include "base/test/temp_dir.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace base::test {

ScopedTempDir::ScopedTempDir() {
  // $TMPDIR (or /tmp) on POSIX, GetTempPathW on Windows.  create_directory fails on a name that
  // exists, so a name nobody else made is taken.
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) {
    return;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "tavori_test_%08x", static_cast<unsigned>(random()));
    const std::filesystem::path candidate = base / name;
    if (std::filesystem::create_directory(candidate, error) && !error) {
      // As mkdtemp makes it: the user's alone.
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      // UTF-8 on every platform, as the code under test takes paths.
      const std::u8string text = candidate.u8string();
      path_.assign(text.begin(), text.end());
      return;
    }
  }
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  if (!path_.empty()) {
    std::filesystem::remove_all(std::filesystem::path(std::u8string(path_.begin(), path_.end())),
                                ignored);
  }
}

}  // namespace base::test
