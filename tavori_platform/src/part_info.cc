#include "src/part_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace tavorisdk::internal {
namespace {

constexpr char kPartInfoMagic[] = "tavori-part 1";
constexpr int kPartInfoKeys = 4;
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
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kPartInfoMagic) {
    return false;
  }
  int seen = 0;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "url") {
      info->url = value;
    } else if (key == "md5") {
      info->md5 = value;
    } else if (key == "size") {
      info->size = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "validator") {
      info->validator = value;
    } else {
      continue;
    }
    ++seen;
  }
  return seen == kPartInfoKeys;
}

bool WritePartInfo(int dir_fd, const std::string& name, const PartInfo& info) {
  ::unlinkat(dir_fd, name.c_str(), 0);
  const int fd = ::openat(dir_fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPartInfoMode);
  if (fd < 0) {
    return false;
  }
  std::ostringstream out;
  out << kPartInfoMagic << "\nurl " << info.url << "\nmd5 " << info.md5 << "\nsize " << info.size
      << "\nvalidator " << info.validator << "\n";
  const std::string text = out.str();
  size_t done = 0;
  ssize_t n = 0;
  while (done < text.size() && (n = ::write(fd, text.data() + done, text.size() - done)) > 0) {
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == text.size();
}

}  // namespace tavorisdk::internal
