#include "base/test/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace base::test {

ScopedTempDir::ScopedTempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavori_test_XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  }
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  if (!path_.empty()) {
    std::filesystem::remove_all(path_, ignored);
  }
}

}  // namespace base::test
