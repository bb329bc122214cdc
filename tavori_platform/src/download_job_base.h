// The sequence of one download that does not depend on the HTTP stack or the file system: the
// retry after a transient failure, the fresh start when the resource changed or the partial file
// proved unusable, the verdict on the finished file's MD5, the success (final progress, the rename
// inside the delivery gate, the finish notification), the failure and the cancellation, with the
// bookkeeping they share.  Each backend's job (download_job.cc on libcurl, download_job_win.cc on
// WinHTTP) derives from it and supplies the steps below that touch its transfer and its files.

#ifndef TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_BASE_H_
#define TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_BASE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "src/delivery_gate.h"
#include "src/download_policy.h"
#include "src/part_info.h"
#include "tavorisdk/download_service.h"

namespace tavorisdk::internal {

// Network thread: every method, including the backend's steps it calls, from Begin on (the
// request constructs the job under its own lock and hands it over at once); all state is the
// network thread's alone.  A backend's destructor calls ReleaseTransfer first, while its steps
// can still be called.
class DownloadJobBase : public DownloadJobControl {
 public:
  ~DownloadJobBase() override = default;
  DownloadJobBase(const DownloadJobBase&) = delete;
  DownloadJobBase& operator=(const DownloadJobBase&) = delete;

  // Stops the transfer and lets go of the partial file, which stays for a later resume; no
  // notification follows.
  void Cancel(int reason) final;

 protected:
  DownloadJobBase(DownloadSettings settings, std::shared_ptr<DeliveryGate> gate,
                  IDownloadResponseDelegate* delegate, DownloadServiceRequest* request)
      : settings_(std::move(settings)),
        notify_(std::move(gate), delegate, request, settings_),
        gate_(notify_.gate()) {}

  // --- The backend's steps. ---
  // Starts one attempt, from the partial file's end when there is one; its end arrives later.
  virtual void StartAttempt() = 0;
  // Stops the current attempt (and anything it scheduled) so that none of its callbacks follow.
  virtual void ReleaseAttempt() = 0;
  // Removes the partial file and its record when they are this job's or nobody holds them.
  virtual void RemovePartFiles() = 0;
  // Lets go of the partial file, removing it first when |remove|.
  virtual void DropFile(bool remove) = 0;
  // Renames the verified partial file, still held, to the save path and removes its record;
  // false (logged) when the rename failed.
  virtual bool RenameIntoPlace() = 0;
  // Bytes in the partial file; -1 when the job holds none.
  virtual int64_t PartSize() const = 0;
  // Runs |task| on the network thread after |delay|, unless cancelled or the job is gone first.
  virtual uint64_t PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  // Cancels a task of PostDelayedTask that has not run yet.
  virtual void CancelDelayedTask(uint64_t id) = 0;

  // --- The sequence, for the backend. ---
  // Whether a partial file's record belongs to this download: the same URL, MD5 and size.
  bool RecordFits(const PartInfo& info) const;
  // Notes that the partial file of an earlier run, recorded with |validator|, is resumed.
  void NoteResumed(const std::string& validator);
  // Whether |available| free bytes in |dir| (-1: unknown) take the rest of the file; fails the
  // job, keeping the partial file, when not.
  bool CheckFreeSpace(int64_t available, const std::string& dir);
  // Takes the verdict on an accepted response: a start over removes and lets go of the partial
  // file; the announced total binds the later attempts.
  void TakeVerdict(const ResponseVerdict& verdict, long status);
  // The record of a fresh partial file, with the validator chosen from the response's headers.
  PartInfo FreshRecord(std::string_view etag, std::string_view last_modified);
  // Cancels a pending retry, then ReleaseAttempt.
  void ReleaseTransfer();
  // Retries when |transient| and retries are left (notifying the retry); fails with |error|
  // otherwise, keeping the partial file when |keep_part|.
  void RetryOrFail(bool transient, int32_t error, bool keep_part);
  // Starts over from byte 0 without the partial file, or fails once the fresh starts are used up.
  void RestartFresh(const char* why);
  // Judges the complete file by its |md5|: succeeds, starts over (a resumed file that was not
  // what it claimed), or fails.
  void FinishVerified(const std::string& md5);
  // Ends the job with |error|, removing the partial file unless |keep_part|.
  void Fail(int32_t error, bool keep_part);
  // Fails at once, touching no file: another job holds the partial file.
  void FailHeldElsewhere();
  void DeliverProgress();

  const DownloadSettings settings_;
  DownloadNotifier notify_;
  DeliveryGate& gate_;

  bool finished_ = false;
  std::string validator_;           // what a resume sends as If-Range
  bool resumed_from_disk_ = false;  // the partial file came from an earlier run
  int64_t server_total_ = -1;       // the total an earlier attempt was told, or -1

 private:
  void ScheduleRetry(int32_t error);
  void Succeed();

  int fresh_restarts_ = 0;
  int retries_ = 0;
  uint64_t retry_task_ = 0;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DOWNLOAD_JOB_BASE_H_
