// The folder whose files the reference update service offers: opens them without following
// links or leaving the folder, and knows each file's size, MD5 and validator.
//
// Thread-safe: the server's worker threads call it at once; a mutex guards the digest cache.

#ifndef UPDATE_SERVICE_PACKAGE_FOLDER_H_
#define UPDATE_SERVICE_PACKAGE_FOLDER_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"

namespace update_service {

// One opened package file.  The descriptor stays valid while any copy of the shared pointer
// lives, so a response streams the file it measured even if the name is replaced meanwhile.
struct PackageFile {
  ~PackageFile();
  int fd = -1;
  uint64_t size = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t mtime_ns = 0;
  // An HTTP validator (strong ETag and Last-Modified) that changes when the file does.
  std::string etag;
  std::string last_modified;
};

class PackageFolder {
 public:
  // |folder| must exist; Open() fails otherwise.
  explicit PackageFolder(std::string folder);
  ~PackageFolder();
  PackageFolder(const PackageFolder&) = delete;
  PackageFolder& operator=(const PackageFolder&) = delete;

  // Opens the regular file |name| directly inside the folder (a plain name, no link followed).
  // nullptr when it does not exist or is not such a file.
  std::shared_ptr<PackageFile> Open(const std::string& name) const;

  // The lower-case hexadecimal MD5 of |file|'s bytes; computed once per file version (device,
  // inode, size and modification time), then cached.  nullopt when the file cannot be read.
  std::optional<std::string> Md5(const PackageFile& file);

 private:
  struct Identity {
    dev_t dev;
    ino_t ino;
    uint64_t size;
    int64_t mtime_ns;
    bool operator<(const Identity& other) const {
      return std::tie(dev, ino, size, mtime_ns) <
             std::tie(other.dev, other.ino, other.size, other.mtime_ns);
    }
  };

  const std::string folder_;
  base::Lock mu_;
  std::map<Identity, std::string> digests_ GUARDED_BY(mu_);
};

}  // namespace update_service

#endif  // UPDATE_SERVICE_PACKAGE_FOLDER_H_
