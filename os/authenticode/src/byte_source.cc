#include "src/byte_source.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace authenticode::internal {

bool MemoryByteSource::DoRead(uint64_t offset, std::span<uint8_t> out) const {
  if (!out.empty()) {
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
  }
  return true;
}

bool DescriptorByteSource::DoRead(uint64_t offset, std::span<uint8_t> out) const {
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t position = offset + done;
    if (position > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      return false;
    }
    const ssize_t n =
        pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(position));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      // An error, or end of file before the size taken at the start: the file changed.
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace authenticode::internal
