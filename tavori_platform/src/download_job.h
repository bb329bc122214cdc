// One download on the network thread, on libcurl: a DownloadRequest (download_service.cc)
// snapshots its settings into a DownloadJob at Start (NewDownloadJob).  The job lives on the
// network thread: its transfer, its partial file (a DownloadFile, hashed on the file thread), its
// retries and its notifications, which all pass the job's DeliveryGate.  The request's Stop closes
// the gate on the calling thread, then posts Cancel; the request hands its reference to that task,
// so the job is always released on the network thread.  The retries, fresh starts, outcome and
// notifications are the shared sequence (download_job_base.h).
//
// Beside "<save path>.part" the job keeps "<save path>.part.info" (PartInfo).  A later download
// resumes only when URL, MD5 and size match, sending If-Range with the validator; a 200 answer
// (range ignored or resource changed) starts the file over, as does a 206 whose range does not fit.
//
// Files: the job opens the save path's directory once and names every file
// relative to that descriptor; files are opened without following links and
// the partial file stays locked (DownloadFile) from its creation or reopening
// until after the rename, which happens only while the name still leads to the
// file this job wrote.  A second job finding the partial file locked fails at
// once with kDownloadErrorLocalFile and touches nothing; a job removes partial
// files only when they are its own or nobody holds them.

#ifndef TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_H_
#define TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_H_

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "src/delivery_gate.h"
#include "src/download_file.h"
#include "src/download_job_base.h"
#include "src/download_policy.h"
#include "tavorisdk/download_service.h"

namespace tavorisdk::internal {

// Network thread: every method, from construction on (the request constructs it under its own
// lock and hands it over at once); the job's state is the network thread's alone.
class DownloadJob final : public DownloadJobBase, public std::enable_shared_from_this<DownloadJob> {
 public:
  DownloadJob(DownloadSettings settings, std::shared_ptr<DeliveryGate> gate,
              IDownloadResponseDelegate* delegate, DownloadServiceRequest* request)
      : DownloadJobBase(std::move(settings), std::move(gate), delegate, request),
        speed_limit_kib_(settings_.speed_limit_kib),
        urgent_(settings_.urgent) {}
  ~DownloadJob() override {
    ReleaseTransfer();
    if (dir_fd_ >= 0) {
      ::close(dir_fd_);
    }
    if (easy_ != nullptr) {
      curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(header_list_);
    if (file_) {
      file_->Abort();
    }
  }
  DownloadJob(const DownloadJob&) = delete;
  DownloadJob& operator=(const DownloadJob&) = delete;

  // --- Network thread. ---
  void Begin() override;
  void SetSpeed(int kib_per_second, bool urgent) override;

 private:
  // Why the job aborted its own transfer from a write callback.
  enum class Abort { kNone, kHttpStatus, kSizeMismatch, kLocalFile, kRangeMismatch };

  bool PreparePrivateRoot();
  bool TryResumeFromDisk();
  void ApplySpeed();
  void WatchRoom();

  // The shared sequence's steps (download_job_base.h).
  void StartAttempt() override;
  void ReleaseAttempt() override;
  void RemovePartFiles() override;
  void DropFile(bool remove) override;
  bool RenameIntoPlace() override;
  int64_t PartSize() const override { return file_ ? file_->size() : -1; }
  uint64_t PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) override;
  void CancelDelayedTask(uint64_t id) override;

  static size_t OnWriteThunk(char* data, size_t size, size_t count, void* self);
  static size_t OnHeaderThunk(char* data, size_t size, size_t count, void* self);
  size_t OnWrite(const char* data, size_t bytes);
  void OnHeaderLine(std::string_view line);
  // Judges the final response once its body begins (or ends empty); false
  // aborts it.
  bool Decide();
  void OnDone(CURLcode code);
  void OnRoom();
  void ResumeIfReady();
  void OnFileFinished(const DownloadFile::Outcome& outcome);

  void MaybeProgress();

  std::string dir_;          // the save path's directory
  std::string target_name_;  // names within it
  std::string part_name_;
  std::string info_name_;
  int dir_fd_ = -1;
  int speed_limit_kib_;
  bool urgent_;
  CURL* easy_ = nullptr;
  curl_slist* header_list_ = nullptr;
  bool transfer_active_ = false;
  // The transfer is paused (the write callback refused a piece) until neither reason holds.
  bool paused_ = false;
  bool waiting_for_room_ = false;      // the hashing pool is full
  bool waiting_for_progress_ = false;  // a progress notification is due first
  std::shared_ptr<DownloadFile> file_;

  // The response of the current attempt.
  int64_t resume_from_ = 0;
  std::string range_text_;
  int64_t content_length_ = -1;
  int64_t range_start_ = -1;
  int64_t range_total_ = -1;
  std::string etag_;
  std::string last_modified_;
  bool decided_ = false;
  Abort abort_ = Abort::kNone;
  long abort_status_ = 0;

  bool progress_pending_ = false;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_H_
