// The partial file of one download ("<save path>.part"), written on the network
// thread while its MD5 is computed on the file thread
// (base::threading::LooperThread::FileLooper).
//
// Bytes handed to Write() go to the file at once (page cache) and are copied
// into a small pool of chunks that the file thread hashes, so the network
// thread never waits for the hash: when the pool is full, Reserve() says no and
// the caller pauses its transfer until the room callback fires.  Writeback of
// what was written is started every few MiB (sync_file_range), so that the
// final sync in Finish() has little left to do.  The file is never read back,
// except once for a resumed file: the bytes already on disk are hashed first.
//
// Files are named relative to a directory descriptor that the caller keeps open,
// opened without following links, and held under an exclusive lock (flock, per
// open file description) for the object's whole life, so that a second job
// aiming at the same name, in this process or another, sees the file busy
// (EBUSY) instead of replacing it.  A resumed file must be a regular file of
// the effective user with a single link.
//
// Threads: the factories, Reserve, Write, IsAt, RenameAt, Finish and Abort run
// on one thread (the network thread); FreeSpace on any; the room and finish callbacks run on the
// file thread and must only post work elsewhere.  mu_ guards the chunk queue and the flags the two
// threads share; the hasher and the read position belong to the file thread, the write position and
// descriptor writes to the writer.  The object is shared (the file thread holds a reference while
// it has work), and closes the file when the last reference goes.

#ifndef TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_H_
#define TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "base/threading/thread_checker.h"
#include "util/crypto/crypto.h"

namespace tavorisdk::internal {

class DownloadFile : public std::enable_shared_from_this<DownloadFile> {
 public:
  // Bytes per hashing chunk, and how many chunks may be in use at once: the
  // memory bound.
  static constexpr size_t kChunkBytes = 512 * 1024;
  static constexpr size_t kMaxChunks = 8;
  // Writeback is started whenever this much has been written since the last
  // start.
  static constexpr int64_t kWritebackWindow = 8 * 1024 * 1024;

  struct Outcome {
    bool ok = false;   // written and synced
    int error = 0;     // errno of the failure when !ok
    int64_t size = 0;  // bytes in the file
    std::string md5;   // lower-case hex digest; empty when hashing was off
  };
  using RoomCallback = std::function<void()>;
  using FinishCallback = std::function<void(const Outcome&)>;

  // Creates a new, empty file |name| in |dir_fd|, removing whatever was there
  // (a fresh inode: never overwrites old data in place, never follows a link),
  // and locks it.  Returns null and sets |*error| (errno; EBUSY when another
  // job holds the file there) on failure.
  static std::shared_ptr<DownloadFile> CreateFresh(int dir_fd, const std::string& name, bool hash,
                                                   int* error);
  // Opens the existing file |name| in |dir_fd| to append after what it holds,
  // which must be more than nothing and less than |limit| bytes, and locks it;
  // the bytes on disk are hashed first, on the file thread.  Fails with EBUSY
  // when another job holds it, EPERM when it is not a regular file of this
  // user with one link.
  static std::shared_ptr<DownloadFile> OpenForResume(int dir_fd, const std::string& name,
                                                     int64_t limit, bool hash, int* error);
  // Whether |name| in |dir_fd| is a file whose lock another job holds.
  static bool IsHeldElsewhere(int dir_fd, const std::string& name);

  ~DownloadFile();
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  // Called (on the file thread) when room was missing in Reserve() and became
  // free again.
  void SetRoomCallback(RoomCallback callback);
  // Whether Write() may take |bytes| now (at most kChunkBytes).  When not, the
  // room callback fires once room is free.
  bool Reserve(size_t bytes);
  // Appends |bytes| at |data| to the file and queues them for hashing. Requires
  // a successful Reserve() of at least |bytes|.  False on a write error (see
  // error()).
  bool Write(const char* data, size_t bytes);
  // No more writes: hashes the rest, syncs the file to disk, then calls |done|
  // on the file thread.  Not called when Abort() comes first.
  void Finish(FinishCallback done);
  // Drops pending work and releases the lock; no callback fires after the
  // file thread notices.  The file stays.
  void Abort();

  // Whether |name| in |dir_fd| still names this very file (device and inode).
  bool IsAt(int dir_fd, const std::string& name) const;
  // Renames |from| to |to| in |dir_fd| when |from| still names this file;
  // returns 0 or an errno (ESTALE when the name leads elsewhere).  The lock is
  // kept.
  int RenameAt(int dir_fd, const std::string& from, const std::string& to) const;

  int64_t size() const { return size_; }
  int error() const { return error_; }
  const std::string& name() const { return name_; }

 private:
  DownloadFile(std::string name, int fd, int64_t offset, bool hash);

  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t size = 0;
  };

  void ScheduleLocked() REQUIRES(mu_);
  // File thread: hashes the resumed prefix and the queued chunks, then finishes
  // if asked.
  void Drain();
  bool HashPrefix();
  void Complete();
  void StartWriteback();

  const std::string name_;  // for the log
  const int fd_;
  const bool hash_;

  // Writer thread only (Reserve, Write and Finish check it in debug builds).
  base::threading::ThreadChecker writer_;
  int64_t size_ = 0;
  int64_t writeback_start_ = 0;
  int error_ = 0;
  Chunk filling_;

  // File thread only (Drain checks it in debug builds).
  util::crypto::Md5Hasher hasher_;
  int64_t prefix_ = 0;    // bytes of a resumed file still to hash from disk
  int prefix_error_ = 0;  // errno of a failed read-back

  base::Lock mu_;
  std::deque<Chunk> queued_ GUARDED_BY(mu_);
  std::vector<Chunk> free_ GUARDED_BY(mu_);
  size_t chunks_ GUARDED_BY(mu_) = 0;       // allocated so far
  bool scheduled_ GUARDED_BY(mu_) = false;  // a Drain task is posted or running
  bool waiting_for_room_ GUARDED_BY(mu_) = false;
  bool aborted_ GUARDED_BY(mu_) = false;
  FinishCallback finish_ GUARDED_BY(mu_);  // set by Finish()
  RoomCallback room_ GUARDED_BY(mu_);
};

// Bytes that may still be written to the file system of the directory
// |dir_fd| (fstatvfs, the share of unprivileged users), or -1 when unknown.
// Any thread.
int64_t FreeSpace(int dir_fd);
// Tests: FreeSpace answers |bytes| from now on; -1 restores the real query.
void SetFreeSpaceForTesting(int64_t bytes);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DOWNLOAD_FILE_H_
