#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/check.h"
#include "base/log/log.h"
#include "base/threading/looper_thread.h"
#include "base/threading/thread_checker.h"
#include "src/download_file.h"
#include "src/sdk_runtime.h"

namespace tavorisdk::internal {

// A partial file's mode before the umask, like any file the user's programs create.
constexpr mode_t kPartFileMode = 0666;

namespace {

constexpr char kLogSource[] = "tavori_platform";

std::atomic<int64_t> free_space_for_testing{-1};

// An exclusive lock on the open file description, without waiting.
bool Lock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const char* data, size_t bytes) {
  while (bytes > 0) {
    const ssize_t written = ::write(fd, data, bytes);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    bytes -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::shared_ptr<DownloadFile> DownloadFile::CreateFresh(int dir_fd, const std::string& name,
                                                        bool hash, int* error) {
  if (IsHeldElsewhere(dir_fd, name)) {
    *error = EBUSY;
    return nullptr;
  }
  if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
    *error = errno;
    return nullptr;
  }
  const int fd = ::openat(dir_fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPartFileMode);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  // Another job that probed the name between our creation and this lock may
  // have replaced the file; the check before the rename catches that.
  if (!Lock(fd)) {
    *error = EBUSY;
    ::close(fd);
    return nullptr;
  }
  return std::shared_ptr<DownloadFile>(new DownloadFile(name, fd, 0, hash));
}

std::shared_ptr<DownloadFile> DownloadFile::OpenForResume(int dir_fd, const std::string& name,
                                                          int64_t limit, bool hash, int* error) {
  // O_NONBLOCK: a FIFO planted under the name must not block the open.
  const int fd = ::openat(dir_fd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat info {};
  struct stat named {};
  errno = 0;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      info.st_nlink != 1) {
    *error = errno != 0 ? errno : EPERM;
  } else if (!Lock(fd) || ::fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
             named.st_dev != info.st_dev || named.st_ino != info.st_ino) {
    *error = EBUSY;
  } else if (info.st_size <= 0 || info.st_size >= limit) {
    *error = EINVAL;
  } else if (::lseek(fd, info.st_size, SEEK_SET) != info.st_size) {
    *error = errno;
  } else {
    auto file = std::shared_ptr<DownloadFile>(new DownloadFile(name, fd, info.st_size, hash));
    if (hash) {
      base::AutoLock lock(file->mu_);
      file->ScheduleLocked();  // hash what is on disk while the transfer starts
    }
    return file;
  }
  ::close(fd);
  return nullptr;
}

bool DownloadFile::IsHeldElsewhere(int dir_fd, const std::string& name) {
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info {};
  const bool held = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && !Lock(fd);
  ::close(fd);  // drops the probe's own lock
  return held;
}

bool DownloadFile::IsAt(int dir_fd, const std::string& name) const {
  struct stat mine {};
  struct stat named {};
  return ::fstat(fd_, &mine) == 0 &&
         ::fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

int DownloadFile::RenameAt(int dir_fd, const std::string& from, const std::string& to) const {
  if (!IsAt(dir_fd, from)) {
    return ESTALE;
  }
  return ::renameat(dir_fd, from.c_str(), dir_fd, to.c_str()) == 0 ? 0 : errno;
}

DownloadFile::DownloadFile(std::string name, int fd, int64_t offset, bool hash)
    : name_(std::move(name)),
      fd_(fd),
      hash_(hash),
      size_(offset),
      writeback_start_(offset),
      prefix_(hash ? offset : 0) {}

DownloadFile::~DownloadFile() { ::close(fd_); }

void DownloadFile::SetRoomCallback(RoomCallback callback) {
  base::AutoLock lock(mu_);
  room_ = std::move(callback);
}

bool DownloadFile::Reserve(size_t bytes) {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(writer_);
  if (!hash_) {
    return true;
  }
  const size_t in_filling = filling_.data ? kChunkBytes - filling_.size : 0;
  base::AutoLock lock(mu_);
  const size_t room = in_filling + (free_.size() + (kMaxChunks - chunks_)) * kChunkBytes;
  if (room >= bytes) {
    return true;
  }
  waiting_for_room_ = true;
  return false;
}

bool DownloadFile::Write(const char* data, size_t bytes) {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(writer_);
  if (!WriteAll(fd_, data, bytes)) {
    error_ = errno;
    BASE_LOG(base::log::kLevelRefused) << "write to " << name_ << " failed: " << error_;
    return false;
  }
  size_ += static_cast<int64_t>(bytes);
  if (size_ - writeback_start_ >= kWritebackWindow) {
    StartWriteback();
  }
  while (hash_ && bytes > 0) {
    if (!filling_.data) {
      base::AutoLock lock(mu_);
      if (!free_.empty()) {
        filling_ = std::move(free_.back());
        free_.pop_back();
      } else {
        // Reserve() made sure a chunk may still be allocated.
        ++chunks_;
        filling_.data = std::make_unique<char[]>(kChunkBytes);
      }
      filling_.size = 0;
    }
    const size_t take = std::min(bytes, kChunkBytes - filling_.size);
    std::memcpy(filling_.data.get() + filling_.size, data, take);
    filling_.size += take;
    data += take;
    bytes -= take;
    if (filling_.size == kChunkBytes) {
      base::AutoLock lock(mu_);
      queued_.push_back(std::move(filling_));
      filling_ = Chunk{};
      ScheduleLocked();
    }
  }
  return true;
}

void DownloadFile::StartWriteback() {
  // Asks the kernel to start writing what is dirty; it does not wait for the
  // disk.  A failure only means the final sync has more to do.
  ::sync_file_range(fd_, writeback_start_, size_ - writeback_start_, SYNC_FILE_RANGE_WRITE);
  writeback_start_ = size_;
}

void DownloadFile::Finish(FinishCallback done) {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(writer_);
  base::AutoLock lock(mu_);
  if (filling_.data && filling_.size > 0) {
    queued_.push_back(std::move(filling_));
  }
  filling_ = Chunk{};
  finish_ = std::move(done);
  ScheduleLocked();
}

void DownloadFile::Abort() {
  // Nothing is written any more: another job may take the file over at once,
  // even while the file thread still holds a reference.
  ::flock(fd_, LOCK_UN);
  base::AutoLock lock(mu_);
  aborted_ = true;
  finish_ = nullptr;
  room_ = nullptr;
}

void DownloadFile::ScheduleLocked() {
  if (scheduled_ || aborted_) {
    return;
  }
  scheduled_ = true;
  base::threading::LooperThread::FileLooper()->PostTask(
      [self = shared_from_this()] { self->Drain(); }, FROM_HERE);
}

void DownloadFile::Drain() {
  BASE_DCHECK(base::threading::OnFileThread());
  if (prefix_ > 0 && !HashPrefix()) {
    base::AutoLock lock(mu_);
    scheduled_ = false;
    return;
  }
  while (true) {
    Chunk chunk;
    RoomCallback room;
    {
      base::AutoLock lock(mu_);
      if (aborted_ || IsExiting()) {
        scheduled_ = false;
        return;
      }
      if (queued_.empty()) {
        if (!finish_) {
          scheduled_ = false;
          return;
        }
        break;  // finishing, and everything is hashed
      }
      chunk = std::move(queued_.front());
      queued_.pop_front();
    }
    hasher_.Update(chunk.data.get(), chunk.size);
    {
      base::AutoLock lock(mu_);
      chunk.size = 0;
      free_.push_back(std::move(chunk));
      if (waiting_for_room_) {
        waiting_for_room_ = false;
        room = room_;
      }
    }
    if (room) {
      room();
    }
  }
  Complete();
}

bool DownloadFile::HashPrefix() {
  // Reads back only what an earlier run left on disk, once, before the new
  // bytes: from the descriptor that was checked, never by name again.
  auto buffer = std::make_unique<char[]>(kChunkBytes);
  int64_t offset = 0;
  errno = 0;
  while (offset < prefix_) {
    {
      base::AutoLock lock(mu_);
      if (aborted_ || IsExiting()) {
        return false;
      }
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(prefix_ - offset, kChunkBytes));
    const ssize_t got = ::pread(fd_, buffer.get(), want, offset);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    hasher_.Update(buffer.get(), static_cast<size_t>(got));
    offset += got;
  }
  if (offset < prefix_) {
    prefix_error_ = errno != 0 ? errno : EIO;
    BASE_LOG(base::log::kLevelRefused) << "cannot read back " << name_ << " at " << offset;
  }
  prefix_ = 0;
  return true;  // a read failure is reported by the outcome
}

void DownloadFile::Complete() {
  FinishCallback done;
  {
    base::AutoLock lock(mu_);
    done = std::move(finish_);
    finish_ = nullptr;
  }
  Outcome outcome;
  outcome.size = size_;
  outcome.md5 = hash_ ? hasher_.Finish() : std::string();
  if (prefix_error_ != 0) {
    outcome.error = prefix_error_;
  } else if (::fdatasync(fd_) != 0) {
    outcome.error = errno;
    BASE_LOG(base::log::kLevelRefused) << "fdatasync of " << name_ << " failed: " << errno;
  } else {
    outcome.ok = true;
  }
  if (done) {
    done(outcome);
  }
}

int64_t FreeSpace(int dir_fd) {
  const int64_t forced = free_space_for_testing.load();
  if (forced >= 0) {
    return forced;
  }
  struct statvfs info {};
  if (::fstatvfs(dir_fd, &info) != 0) {
    return -1;
  }
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

void SetFreeSpaceForTesting(int64_t bytes) { free_space_for_testing.store(bytes); }

}  // namespace tavorisdk::internal
