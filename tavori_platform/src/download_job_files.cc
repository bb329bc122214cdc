// The download job's files: the start (the save path's directory, checked and opened once),
// the resumption from a partial file and its record, and letting go of the
// partial file and putting it in place.  Network thread, like the rest of the job (download_job.h).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/check.h"
#include "base/log/log.h"
#include "os/folders.h"
#include "os/utf.h"
#include "src/download_job.h"
#include "src/network_thread.h"
#include "src/part_info.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// Group and others may not write a private download directory.
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr mode_t kPrivateDirectoryMode = 0700;

// Splits |path| into its directory ("." when it has none) and a file name;
// false when there is no file name.
bool SplitPath(const std::string& path, std::string* dir, std::string* name) {
  const size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name->empty() && *name != "." && *name != "..";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace

void DownloadJob::Begin() {
  BASE_DCHECK(OnNetworkThread());
  if (gate_.closed()) {
    return;
  }
  if (settings_.url.empty() || !SplitPath(settings_.save_path, &dir_, &target_name_)) {
    BASE_LOG(base::log::kLevelRefused) << "download without URL or file name to save to";
    Fail(kDownloadErrorBadRequest, true);
    return;
  }
  part_name_ = target_name_ + ".part";
  info_name_ = target_name_ + ".part.info";
  if (!settings_.private_root.empty() && !PreparePrivateRoot()) {
    return;
  }
  dir_fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) {
    BASE_LOG(base::log::kLevelRefused) << "cannot open directory " << dir_ << ": " << errno;
    Fail(kDownloadErrorLocalFile, true);
    return;
  }
  if (!settings_.private_root.empty()) {
    // What was opened, too, must be the user's alone: a directory swapped in
    // after the check above is not.
    struct stat st {};
    if (::fstat(dir_fd_, &st) != 0 || st.st_uid != ::geteuid() ||
        (st.st_mode & kWritableByOthers) != 0) {
      BASE_LOG(base::log::kLevelFailure)
          << "directory " << dir_ << " is not private to this user; nothing is downloaded into it";
      Fail(kDownloadErrorLocalFile, true);
      return;
    }
  }
  if (DownloadFile::IsHeldElsewhere(dir_fd_, part_name_)) {
    FailHeldElsewhere();
    return;
  }
  // Whatever was at the target goes now: only a verified file may stand there
  // afterwards.
  if (::unlinkat(dir_fd_, target_name_.c_str(), 0) != 0 && errno != ENOENT) {
    BASE_LOG(base::log::kLevelRefused) << "cannot remove " << settings_.save_path << ": " << errno;
  }
  // Without an expected size and MD5 nothing could be verified: such a
  // download never succeeds.
  if (const int32_t refused = RefuseUnverifiable(settings_); refused != kDownloadOk) {
    Fail(refused, true);
    return;
  }
  easy_ = curl_easy_init();
  if (easy_ == nullptr) {
    Fail(kDownloadErrorTransport, true);
    return;
  }
  if (settings_.resume && !TryResumeFromDisk()) {
    return;
  }
  if (!CheckFreeSpace(FreeSpace(dir_fd_), dir_)) {
    return;
  }
  StartAttempt();
}

bool DownloadJob::PreparePrivateRoot() {
  const std::string root = WithoutTrailingSlashes(settings_.private_root);
  if (dir_ != root && !dir_.starts_with(root + "/")) {
    BASE_LOG(base::log::kLevelRefused)
        << "save path " << settings_.save_path << " is not below " << root;
    Fail(kDownloadErrorBadRequest, true);
    return false;
  }
  const os::ErrorCode error = os::EnsurePrivateDirectory(os::Utf8ToWide(root));
  if (error != os::kErrorSuccess) {
    BASE_LOG(base::log::kLevelFailure)
        << "directory " << root << " is not private to this user (error " << error
        << "); nothing is downloaded into it";
    Fail(kDownloadErrorLocalFile, true);
    return false;
  }
  // The directories below it, for this user alone; nobody else can get in.
  for (size_t at = root.size() + 1; at <= dir_.size(); ++at) {
    if (at == dir_.size() || dir_[at] == '/') {
      ::mkdir(dir_.substr(0, at).c_str(), kPrivateDirectoryMode);
    }
  }
  return true;
}

bool DownloadJob::TryResumeFromDisk() {
  PartInfo info;
  if (!ReadPartInfo(dir_fd_, info_name_, &info) || !RecordFits(info)) {
    return true;
  }
  int error = 0;
  file_ = DownloadFile::OpenForResume(dir_fd_, part_name_, settings_.size, true, &error);
  if (!file_) {
    if (error == EBUSY) {
      FailHeldElsewhere();
      return false;
    }
    BASE_LOG(base::log::kLevelNote) << "not resuming " << settings_.save_path << ".part: " << error;
    return true;  // a fresh file replaces it
  }
  WatchRoom();
  NoteResumed(info.validator);
  return true;
}

void DownloadJob::RemovePartFiles() {
  if (dir_fd_ < 0) {
    return;
  }
  const bool ours = file_ ? file_->IsAt(dir_fd_, part_name_)
                          : !DownloadFile::IsHeldElsewhere(dir_fd_, part_name_);
  if (!ours) {
    return;  // another job's files now
  }
  ::unlinkat(dir_fd_, info_name_.c_str(), 0);
  ::unlinkat(dir_fd_, part_name_.c_str(), 0);
}

bool DownloadJob::RenameIntoPlace() {
  // Only the file this job wrote and verified, still locked, is renamed.
  if (const int rename_error = file_->RenameAt(dir_fd_, part_name_, target_name_);
      rename_error != 0) {
    BASE_LOG(base::log::kLevelRefused) << "cannot rename " << settings_.save_path << ".part: "
                                       << (rename_error == ESTALE ? "the name leads to another file"
                                                                  : std::strerror(rename_error));
    return false;
  }
  ::unlinkat(dir_fd_, info_name_.c_str(), 0);
  if (::fsync(dir_fd_) != 0) {
    BASE_LOG(base::log::kLevelRefused) << "cannot sync directory " << dir_ << ": " << errno;
  }
  return true;
}

void DownloadJob::DropFile(bool remove) {
  if (!file_) {
    return;
  }
  if (remove && file_->IsAt(dir_fd_, part_name_)) {
    ::unlinkat(dir_fd_, part_name_.c_str(), 0);
  }
  file_->Abort();
  file_.reset();
}

void DownloadJob::WatchRoom() {
  // File thread: only hand the news to the network thread.
  file_->SetRoomCallback([weak = weak_from_this()] {
    NetworkThread::Get().PostTask([weak] {
      if (auto job = weak.lock()) {
        job->OnRoom();
      }
    });
  });
}

}  // namespace tavorisdk::internal
