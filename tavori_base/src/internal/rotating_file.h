// A log file that several processes append to and rotate together.
//
// Every process of a program writes the same <name>.<ext> file; when a record would take it past
// the size limit, the file is renamed to <name>.1.<ext> (older ones move up to <name>.<max>.<ext>,
// the oldest is dropped) and a new file is started.  Processes coordinate through a lock on the
// companion file <name>.<ext>.lock (flock; LockFileEx on Windows), held around the size check, the
// rotation and the write, and each notices a rotation done by another one by comparing the file
// it holds open with the file now at the path.  So no record is lost to a file that was rotated
// away, and no file grows past the limit by more than one record (a record larger than the limit
// gets a file of its own).
//
// A process that ignores the lock (an older build) may still write into a rotated file; nothing
// worse happens.  Files are opened without following a symbolic link at the final component and
// must be regular files.
//
// Threads: Write may be called from any thread; |lock_| guards the descriptors and serialises the
// writers of this process (flock does not exclude threads that share one open file).

#ifndef BASE_SRC_INTERNAL_ROTATING_FILE_H_
#define BASE_SRC_INTERNAL_ROTATING_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/synchronization/lock.h"

namespace base::log {

namespace internal {

// An open file of the platform: a descriptor, or a HANDLE's value; kNoFile when none.
using NativeFile = intptr_t;
inline constexpr NativeFile kNoFile = -1;

// Which file an open file or a name is: device and inode, or volume serial and file index.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The lock file at |path|, opened (created when missing) for locking.
NativeFile OpenLockFile(const std::string& path);
// The log file at |path|, opened (created when missing) for appending; kNoFile when it is not a
// regular file or is a link.
NativeFile OpenForAppend(const std::string& path);
void CloseFile(NativeFile file);
// Takes and releases the exclusive lock of a lock file; Lock waits for it.
bool LockFile(NativeFile file);
void UnlockFile(NativeFile file);
bool IdentifyFile(NativeFile file, FileIdentity* identity, uint64_t* size);
// The identity of the file at |path| itself (a link is not followed).
bool IdentifyPath(const std::string& path, FileIdentity* identity);
// Writes all of |data| at the file's end.
bool AppendToFile(NativeFile file, std::string_view data);
// Empties |file|, which was opened from |path| (other writers keep appending to it).
bool TruncateFile(NativeFile file, const std::string& path);
// Renames |from| to |to|, replacing |to|; true also when |from| does not exist.
bool RenameReplacing(const std::string& from, const std::string& to);

}  // namespace internal

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
  bool OpenCurrentLocked() REQUIRES(lock_);
  // Reopens the path when another process rotated the file away (or removed it).
  bool FollowRotationLocked() REQUIRES(lock_);
  void RotateLocked() REQUIRES(lock_);
  void CloseFileLocked() REQUIRES(lock_);

  const std::string path_;
  const size_t max_size_;
  const size_t max_files_;

  Lock lock_;
  // The companion lock file.
  internal::NativeFile lock_file_ GUARDED_BY(lock_) = internal::kNoFile;
  // The current file as this process last opened it, and its identity.
  internal::NativeFile file_ GUARDED_BY(lock_) = internal::kNoFile;
  internal::FileIdentity identity_ GUARDED_BY(lock_);
};

}  // namespace base::log

#endif  // BASE_SRC_INTERNAL_ROTATING_FILE_H_
