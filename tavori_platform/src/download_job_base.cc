// The download's sequence shared by both backends.  Network thread (download_job_base.h).

#include "src/download_job_base.h"

#include "base/check.h"
#include "base/log/log.h"
#include "src/retry_policy.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

}  // namespace

void DownloadJobBase::Cancel(int reason) {
  BASE_DCHECK(OnNetworkThread());
  BASE_LOG(base::log::kLevelNote) << "download " << settings_.url << " stopped (" << reason << ")";
  finished_ = true;
  ReleaseTransfer();
  DropFile(false);  // the partial file stays for a later resume
}

bool DownloadJobBase::RecordFits(const PartInfo& info) const {
  return info.url == settings_.url && info.md5 == settings_.md5 && info.size == settings_.size;
}

void DownloadJobBase::NoteResumed(const std::string& validator) {
  validator_ = validator;
  resumed_from_disk_ = true;
  BASE_LOG(base::log::kLevelNote) << "resuming " << settings_.url << " at " << PartSize();
}

bool DownloadJobBase::CheckFreeSpace(int64_t available, const std::string& dir) {
  const int64_t held = PartSize();
  const int64_t needed = settings_.size - (held > 0 ? held : 0);
  if (available >= 0 && needed > available) {
    BASE_LOG(base::log::kLevelFailure)
        << "download " << settings_.url << " needs " << needed << " more bytes in " << dir
        << ", but only " << available << " are free";
    Fail(kDownloadErrorLocalFile, true);
    return false;
  }
  return true;
}

void DownloadJobBase::TakeVerdict(const ResponseVerdict& verdict, long status) {
  if (verdict.start_over) {
    // Start over with this very response.
    BASE_LOG(base::log::kLevelNote)
        << "server answered " << status << " to a range request; starting over";
    DropFile(true);
    resumed_from_disk_ = false;
  }
  server_total_ = verdict.total;
}

PartInfo DownloadJobBase::FreshRecord(std::string_view etag, std::string_view last_modified) {
  validator_ = ChooseValidator(etag, last_modified);
  return PartInfo{settings_.url, settings_.md5, settings_.size, validator_};
}

void DownloadJobBase::ReleaseTransfer() {
  if (retry_task_ != 0) {
    CancelDelayedTask(retry_task_);
    retry_task_ = 0;
  }
  ReleaseAttempt();
}

void DownloadJobBase::RetryOrFail(bool transient, int32_t error, bool keep_part) {
  if (transient && retries_ < settings_.max_retries) {
    ScheduleRetry(error);
  } else {
    Fail(error, keep_part);
  }
}

void DownloadJobBase::ScheduleRetry(int32_t error) {
  ReleaseTransfer();
  ++retries_;
  notify_.Retry(retries_, error);
  if (gate_.closed()) {
    return;  // stopped from inside the notification; the cancellation is on its way
  }
  retry_task_ = PostDelayedTask(RetryDelay(retries_), [this] {
    retry_task_ = 0;
    if (!finished_) {
      StartAttempt();
    }
  });
}

void DownloadJobBase::RestartFresh(const char* why) {
  if (fresh_restarts_ >= kMaxFreshRestarts) {
    Fail(kDownloadErrorTransport, false);
    return;
  }
  BASE_LOG(base::log::kLevelNote) << "download " << settings_.url << " starts over: " << why;
  ++fresh_restarts_;
  ReleaseTransfer();
  RemovePartFiles();
  DropFile(false);
  validator_.clear();
  resumed_from_disk_ = false;
  server_total_ = -1;
  StartAttempt();
}

void DownloadJobBase::FinishVerified(const std::string& md5) {
  if (md5 == settings_.md5) {
    Succeed();
    return;
  }
  BASE_LOG(base::log::kLevelRefused)
      << "MD5 of " << settings_.url << " is " << md5 << ", expected " << settings_.md5;
  if (resumed_from_disk_ && fresh_restarts_ < kMaxFreshRestarts) {
    // The bytes kept from an earlier run were not what they claimed: fetch it all again.
    RestartFresh("the resumed file did not match its MD5");
    return;
  }
  Fail(kDownloadErrorMd5Mismatch, false);
}

void DownloadJobBase::Succeed() {
  finished_ = true;
  DeliverProgress();  // the final one
  // The rename happens inside the gate: once Stop has returned, no file appears at the target.
  if (!gate_.Enter()) {
    DropFile(false);
    return;
  }
  int32_t error = kDownloadOk;
  if (RenameIntoPlace()) {
    BASE_LOG(base::log::kLevelNote)
        << "downloaded " << settings_.url << " to " << settings_.save_path;
  } else {
    error = kDownloadErrorLocalFile;
    RemovePartFiles();
  }
  DropFile(false);
  notify_.FinishEntered(error);
  gate_.Leave();
}

void DownloadJobBase::Fail(int32_t error, bool keep_part) {
  finished_ = true;
  ReleaseTransfer();
  if (!keep_part) {
    RemovePartFiles();
  }
  DropFile(false);
  BASE_LOG(base::log::kLevelRefused) << "download " << settings_.url << " failed with " << error;
  notify_.Finish(error);
}

void DownloadJobBase::FailHeldElsewhere() {
  BASE_LOG(base::log::kLevelRefused)
      << "another download is writing " << settings_.save_path << ".part";
  Fail(kDownloadErrorLocalFile, true);
}

void DownloadJobBase::DeliverProgress() {
  const int64_t size = PartSize();
  notify_.Progress(size >= 0 ? size : settings_.size);
}

}  // namespace tavorisdk::internal
