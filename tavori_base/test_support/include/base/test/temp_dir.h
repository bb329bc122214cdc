// Test support: a fresh directory under $TMPDIR (or /tmp; the temporary directory on Windows),
// removed with everything in it when the object goes.

#ifndef BASE_TEST_TEMP_DIR_H_
#define BASE_TEST_TEMP_DIR_H_

#include <string>

namespace base::test {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // Without a trailing separator; "" when the directory could not be made.
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Child(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace base::test

#endif  // BASE_TEST_TEMP_DIR_H_
