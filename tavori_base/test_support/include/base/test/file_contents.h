// Test support: whole-file reads and reproducible test data.  Pure; any thread.

#ifndef BASE_TEST_FILE_CONTENTS_H_
#define BASE_TEST_FILE_CONTENTS_H_

#include <cstddef>
#include <string>

namespace base::test {

// The bytes of the file at |path|; "" when it cannot be read.
std::string ReadFileToString(const std::string& path);

// |size| pseudo-random bytes, the same for the same |seed|.
std::string RandomBytes(size_t size, unsigned seed = 1);

}  // namespace base::test

#endif  // BASE_TEST_FILE_CONTENTS_H_
