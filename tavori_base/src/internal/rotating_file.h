// A log file that several processes append to and rotate together.
//
// Every process of a program writes the same <name>.<ext> file; when a record would take it past
// the size limit, the file is renamed to <name>.1.<ext> (older ones move up to <name>.<max>.<ext>,
// the oldest is dropped) and a new file is started.  Processes coordinate through an advisory
// lock (flock) on the companion file <name>.<ext>.lock, held around the size check, the rotation
// and the write, and each notices a rotation done by another one by comparing the file it holds
// open with the file now at the path.  So no record is lost to a file that was rotated away, and
// no file grows past the limit by more than one record (a record larger than the limit gets a
// file of its own).
//
// A process that ignores the lock (an older build) may still write into a rotated file; nothing
// worse happens.  Files are opened without following a symbolic link at the final component and
// must be regular files.
//
// Threads: Write may be called from any thread; |mu_| guards the descriptors and serialises the
// writers of this process (flock does not exclude threads that share one open file).

#ifndef BASE_SRC_INTERNAL_ROTATING_FILE_H_
#define BASE_SRC_INTERNAL_ROTATING_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace base::log {

class RotatingFile {
 public:
  // |path| is the current file; up to |max_files| rotated files are kept beside it.
  RotatingFile(std::string path, size_t max_size, size_t max_files);
  ~RotatingFile();
  RotatingFile(const RotatingFile&) = delete;
  RotatingFile& operator=(const RotatingFile&) = delete;

  // Appends |record| (one whole line, its newline included) with a single write.  False when the
  // file cannot be opened or written; the next call tries again.
  bool Write(std::string_view record);

  // The name of rotated file |index| (1 is the newest): "a.log" gives "a.<index>.log".
  static std::string RotatedName(const std::string& path, size_t index);

 private:
  // The rest runs under |mu_|.
  bool OpenCurrentLocked();
  // Reopens the path when another process rotated the file away (or removed it).
  bool FollowRotationLocked();
  void RotateLocked();
  void CloseFileLocked();

  const std::string path_;
  const size_t max_size_;
  const size_t max_files_;

  std::mutex mu_;
  int lock_fd_ = -1;  // the companion lock file; guarded by |mu_|
  int fd_ = -1;       // the current file as this process last opened it; guarded by |mu_|
  dev_t dev_ = 0;     // identity of |fd_|; guarded by |mu_|
  ino_t ino_ = 0;
};

}  // namespace base::log

#endif  // BASE_SRC_INTERNAL_ROTATING_FILE_H_
