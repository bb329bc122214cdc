#include "src/package_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "util/crypto/crypto.h"

namespace update_service {
namespace {

constexpr size_t kMaxCachedDigests = 64;

std::string HttpDate(time_t seconds) {
  struct tm tm {};
  gmtime_r(&seconds, &tm);
  char text[64];
  const size_t length = strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return std::string(text, length);
}

}  // namespace

PackageFile::~PackageFile() {
  if (fd >= 0) {
    close(fd);
  }
}

PackageFolder::PackageFolder(std::string folder) : folder_(std::move(folder)) {}

PackageFolder::~PackageFolder() = default;

std::shared_ptr<PackageFile> PackageFolder::Open(const std::string& name) const {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return nullptr;
  }
  const int dir = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return nullptr;
  }
  auto file = std::make_shared<PackageFile>();
  // O_NONBLOCK: a FIFO planted under the name must not hang the worker in open().
  file->fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(dir);
  struct stat st {};
  if (file->fd < 0 || fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return nullptr;
  }
  file->size = static_cast<uint64_t>(st.st_size);
  file->dev = st.st_dev;
  file->ino = st.st_ino;
  file->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  file->etag = "\"" + std::to_string(file->size) + "-" + std::to_string(file->mtime_ns) + "\"";
  file->last_modified = HttpDate(st.st_mtim.tv_sec);
  return file;
}

std::optional<std::string> PackageFolder::Md5(const PackageFile& file) {
  const Identity identity{file.dev, file.ino, file.size, file.mtime_ns};
  {
    base::AutoLock lock(mu_);
    if (auto it = digests_.find(identity); it != digests_.end()) {
      return it->second;
    }
  }
  // Hashed without the lock: a large package must not hold up checks for other files.
  util::crypto::Md5Hasher hasher;
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  while (offset < file.size) {
    const ssize_t got = pread(file.fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;  // an error, or the file shrank under us
    }
    hasher.Update(buffer.data(), static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  std::string digest = hasher.Finish();
  base::AutoLock lock(mu_);
  // Old versions of replaced files are never asked for again; a small bound keeps the cache
  // from growing with every rebuild of a package.
  if (digests_.size() >= kMaxCachedDigests) {
    digests_.clear();
  }
  digests_[identity] = digest;
  return digest;
}

}  // namespace update_service
