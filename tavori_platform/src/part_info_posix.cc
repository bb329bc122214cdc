#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "src/part_info.h"

namespace tavorisdk::internal {
namespace {

constexpr mode_t kPartInfoMode = 0600;

}  // namespace

bool ReadPartInfo(int dir_fd, const std::string& name, PartInfo* info) {
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
    text.resize(kMaxPartInfoBytes);
    size_t got = 0;
    ssize_t n = 0;
    while (got < text.size() && (n = ::read(fd, text.data() + got, text.size() - got)) > 0) {
      got += static_cast<size_t>(n);
    }
    text.resize(got);
  }
  ::close(fd);
  return ParsePartInfo(text, info);
}

bool WritePartInfo(int dir_fd, const std::string& name, const PartInfo& info) {
  ::unlinkat(dir_fd, name.c_str(), 0);
  const int fd = ::openat(dir_fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPartInfoMode);
  if (fd < 0) {
    return false;
  }
  const std::string text = FormatPartInfo(info);
  size_t done = 0;
  ssize_t n = 0;
  while (done < text.size() && (n = ::write(fd, text.data() + done, text.size() - done)) > 0) {
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == text.size();
}

}  // namespace tavorisdk::internal
