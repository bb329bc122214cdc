#include "base/test/file_contents.h"

#include <fstream>
#include <iterator>
#include <random>

namespace base::test {

std::string ReadFileToString(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(random());
  }
  return bytes;
}

}  // namespace base::test
