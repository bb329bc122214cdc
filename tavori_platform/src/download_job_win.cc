// One download on the network thread, on WinHTTP: the Windows backend's DownloadJobControl.
//
// The job drives one asynchronous WinHttpRequest per attempt; WinHTTP's reports arrive as
// network-thread tasks, so the job notifies its delegate directly (through its DeliveryGate) and
// checks the gate after each notification, since the delegate may stop the download from
// inside it.  The partial file (WinPartFile) is created exclusively or reopened, unshared, for
// the whole job and hashed as the bytes are written; beside it "<save path>.part.info" records
// what the bytes belong to, so that a later download resumes with a range request and If-Range.
// The verdict on each response, the validator, the progress schedule, the retry schedule and the
// job's sequence (retries, fresh starts, outcome) are the shared ones (download_policy.h,
// retry_policy.h, download_job_base.h).
//
// Threads: every method runs on the network thread, from Begin on; the request hands its last
// reference over in the Cancel task, so the job also ends there.

#include <algorithm>
#include <chrono>

#include "base/log/log.h"
#include "os/folders.h"
#include "src/download_file_win.h"
#include "src/download_job_base.h"
#include "src/download_policy.h"
#include "src/http_headers.h"
#include "src/part_info.h"
#include "src/retry_policy.h"
#include "src/sdk_runtime.h"
#include "src/winhttp_request.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";
constexpr int64_t kBytesPerKib = 1024;
constexpr int kMillisecondsPerSecond = 1000;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Splits |path| into its directory and file name; false when there is no file name.
bool SplitPath(const std::string& path, std::string* dir, std::string* name) {
  const size_t slash = path.find_last_of("\\/");
  *dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name->empty() && *name != "." && *name != "..";
}

class WinDownloadJob final : public DownloadJobBase,
                             public WinHttpRequest::Client,
                             public std::enable_shared_from_this<WinDownloadJob> {
 public:
  WinDownloadJob(DownloadSettings settings, std::shared_ptr<DeliveryGate> gate,
                 IDownloadResponseDelegate* delegate, DownloadServiceRequest* request)
      : DownloadJobBase(std::move(settings), std::move(gate), delegate, request),
        speed_limit_kib_(settings_.speed_limit_kib),
        urgent_(settings_.urgent) {}
  ~WinDownloadJob() override { ReleaseTransfer(); }
  WinDownloadJob(const WinDownloadJob&) = delete;
  WinDownloadJob& operator=(const WinDownloadJob&) = delete;

  void Begin() override;
  void SetSpeed(int kib_per_second, bool urgent) override {
    speed_limit_kib_ = kib_per_second;
    urgent_ = urgent;
  }

  void OnHeaders(DWORD status) override;
  void OnData(const char* data, size_t bytes) override;
  void OnError(DWORD error) override;

 private:
  bool PrepareDirectories();
  bool TryResumeFromDisk();
  void ReadNext();
  void EndOfBody();
  // Whether the job goes on after a notification (the delegate may have stopped it).
  bool StillRunning() const { return !finished_ && !gate_.closed(); }

  // The shared sequence's steps (download_job_base.h).
  void StartAttempt() override;
  void ReleaseAttempt() override;
  void RemovePartFiles() override;
  void DropFile(bool remove) override;
  bool RenameIntoPlace() override;
  int64_t PartSize() const override { return file_ ? file_->size() : -1; }
  uint64_t PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) override;
  void CancelDelayedTask(uint64_t id) override { CancelDelayedNetworkTask(id); }

  std::string dir_;
  std::wstring target_path_;
  std::wstring part_path_;
  std::wstring info_path_;
  int speed_limit_kib_;
  bool urgent_;
  std::shared_ptr<WinHttpRequest> http_;
  std::unique_ptr<WinPartFile> file_;
  uint64_t pace_task_ = 0;

  // The current attempt.
  int64_t resume_from_ = 0;
  int64_t content_length_ = -1;
  int64_t attempt_bytes_ = 0;
  std::chrono::steady_clock::time_point attempt_start_;
};

void WinDownloadJob::Begin() {
  if (gate_.closed()) {
    return;
  }
  std::string target_name;
  if (settings_.url.empty() || !SplitPath(settings_.save_path, &dir_, &target_name)) {
    BASE_LOG(base::log::kLevelRefused) << "download without URL or file name to save to";
    Fail(kDownloadErrorBadRequest, true);
    return;
  }
  target_path_ = WidenUtf8(settings_.save_path);
  part_path_ = target_path_ + L".part";
  info_path_ = target_path_ + L".part.info";
  if (!PrepareDirectories()) {
    return;
  }
  if (WinPartFile::IsHeldElsewhere(part_path_)) {
    FailHeldElsewhere();
    return;
  }
  // Whatever was at the target goes now: only a verified file may stand there afterwards.
  if (!::DeleteFileW(target_path_.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    BASE_LOG(base::log::kLevelRefused)
        << "cannot remove " << settings_.save_path << ": " << ::GetLastError();
  }
  // Without an expected size and MD5 nothing could be verified: such a download never succeeds.
  if (const int32_t refused = RefuseUnverifiable(settings_); refused != kDownloadOk) {
    Fail(refused, true);
    return;
  }
  if (settings_.resume && !TryResumeFromDisk()) {
    return;
  }
  if (!CheckFreeSpace(FreeSpaceAt(WidenUtf8(dir_)), dir_)) {
    return;
  }
  StartAttempt();
}

bool WinDownloadJob::PrepareDirectories() {
  if (!settings_.private_root.empty()) {
    std::string root = settings_.private_root;
    while (root.size() > 1 && IsSeparator(root.back())) {
      root.pop_back();
    }
    if (dir_ != root &&
        !(dir_.size() > root.size() && dir_.starts_with(root) && IsSeparator(dir_[root.size()]))) {
      BASE_LOG(base::log::kLevelRefused)
          << "save path " << settings_.save_path << " is not below " << root;
      Fail(kDownloadErrorBadRequest, true);
      return false;
    }
    // The root and every directory below it down to the save directory: created with an
    // owner-only DACL when missing, then judged through a handle (owner, DACL, no reparse
    // point), so that nobody else can put or swap anything on the way.
    for (size_t at = root.size(); at <= dir_.size(); ++at) {
      if (at != dir_.size() && !IsSeparator(dir_[at])) {
        continue;
      }
      const std::string step = dir_.substr(0, at);
      if (const os::ErrorCode error = os::EnsurePrivateDirectory(WidenUtf8(step));
          error != os::kErrorSuccess) {
        BASE_LOG(base::log::kLevelFailure)
            << "directory " << step << " is not private to this user (error " << error
            << "); nothing is downloaded into it";
        Fail(kDownloadErrorLocalFile, true);
        return false;
      }
    }
  }
  // A junction or link as the save directory could send the files anywhere.
  const DWORD attributes = ::GetFileAttributesW(WidenUtf8(dir_).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    BASE_LOG(base::log::kLevelFailure)
        << "directory " << dir_ << " is missing or a reparse point; nothing is downloaded into it";
    Fail(kDownloadErrorLocalFile, true);
    return false;
  }
  return true;
}

bool WinDownloadJob::TryResumeFromDisk() {
  PartInfo info;
  if (!ReadPartInfoFile(info_path_, &info) || !RecordFits(info)) {
    return true;
  }
  DWORD error = 0;
  file_ = WinPartFile::OpenForResume(part_path_, settings_.size, &error);
  if (!file_) {
    if (error == ERROR_SHARING_VIOLATION) {
      FailHeldElsewhere();
      return false;
    }
    BASE_LOG(base::log::kLevelNote) << "not resuming " << settings_.save_path << ".part: " << error;
    return true;  // a fresh file replaces it
  }
  NoteResumed(info.validator);
  return true;
}

void WinDownloadJob::StartAttempt() {
  resume_from_ = file_ ? file_->size() : 0;
  content_length_ = -1;
  attempt_bytes_ = 0;
  WinHttpRequestOptions options;
  options.url = settings_.url;
  options.user_agent = settings_.user_agent;
  options.headers = settings_.headers;
  if (resume_from_ > 0) {
    options.headers.push_back("Range: bytes=" + std::to_string(resume_from_) + "-");
    if (!validator_.empty()) {
      options.headers.push_back("If-Range: " + validator_);
    }
  }
  options.connect_timeout_ms = settings_.connect_timeout_s * kMillisecondsPerSecond;
  options.receive_timeout_ms = settings_.stall_timeout_s * kMillisecondsPerSecond;
  attempt_start_ = std::chrono::steady_clock::now();
  DWORD error = 0;
  http_ = WinHttpRequest::Start(options, this, &error);
  BASE_LOG(base::log::kLevelTrace) << "download " << settings_.url << " from " << resume_from_;
  if (!http_) {
    OnError(error);
  }
}

void WinDownloadJob::ReleaseAttempt() {
  if (pace_task_ != 0) {
    CancelDelayedNetworkTask(pace_task_);
    pace_task_ = 0;
  }
  if (http_) {
    http_->Close();
    http_.reset();
  }
}

uint64_t WinDownloadJob::PostDelayedTask(std::chrono::milliseconds delay,
                                         std::function<void()> task) {
  return PostDelayedNetworkTask(delay, [weak = weak_from_this(), task = std::move(task)] {
    if (auto job = weak.lock()) {
      task();
    }
  });
}

void WinDownloadJob::OnHeaders(DWORD status) {
  if (finished_) {
    return;
  }
  ResponseFacts facts;
  facts.status = static_cast<long>(status);
  facts.resume_from = resume_from_;
  facts.expected_size = settings_.size;
  facts.known_total = server_total_;
  std::string etag;
  std::string last_modified;
  for (const std::string& line : http_->ResponseHeaders()) {
    if (HeaderNameIs(line, "Content-Length")) {
      facts.content_length = ParseLeadingInt64(HeaderValue(line));
    } else if (HeaderNameIs(line, "Content-Range")) {
      facts.range = ParseContentRange(HeaderValue(line));
    } else if (HeaderNameIs(line, "ETag")) {
      etag = HeaderValue(line);
    } else if (HeaderNameIs(line, "Last-Modified")) {
      last_modified = HeaderValue(line);
    }
  }
  const ResponseVerdict verdict = JudgeResponse(facts);
  switch (verdict.action) {
    case ResponseAction::kRangeMismatch:
      RestartFresh("the server did not send the range asked for");
      return;
    case ResponseAction::kHttpError:
      BASE_LOG(base::log::kLevelRefused) << "download " << settings_.url << ": HTTP " << status;
      RetryOrFail(IsTransientHttpStatus(static_cast<long>(status)), kDownloadErrorHttpStatus,
                  false);
      return;
    case ResponseAction::kSizeMismatch:
      BASE_LOG(base::log::kLevelRefused)
          << "server announces " << verdict.total << " bytes, expected " << settings_.size;
      Fail(kDownloadErrorSizeMismatch, false);
      return;
    case ResponseAction::kAppend:
    case ResponseAction::kWhole:
      break;
  }
  TakeVerdict(verdict, static_cast<long>(status));
  content_length_ = facts.content_length;
  if (!file_) {
    DWORD error = 0;
    file_ = WinPartFile::CreateFresh(part_path_, &error);
    if (!file_) {
      BASE_LOG(base::log::kLevelRefused)
          << "cannot create " << settings_.save_path << ".part: " << error;
      Fail(kDownloadErrorLocalFile, false);
      return;
    }
    if (!WritePartInfoFile(info_path_, FreshRecord(etag, last_modified))) {
      BASE_LOG(base::log::kLevelRefused) << "cannot write " << settings_.save_path << ".part.info";
    }
  }
  if (!notify_.started()) {
    notify_.MarkStarted();
    notify_.Start();
    if (!StillRunning()) {
      return;
    }
  }
  ReadNext();
}

void WinDownloadJob::OnData(const char* data, size_t bytes) {
  if (finished_) {
    return;
  }
  if (bytes == 0) {
    EndOfBody();
    return;
  }
  if (file_->size() + static_cast<int64_t>(bytes) > settings_.size) {
    BASE_LOG(base::log::kLevelRefused) << "body longer than the expected " << settings_.size;
    Fail(kDownloadErrorSizeMismatch, false);
    return;
  }
  if (!file_->Write(data, bytes)) {
    BASE_LOG(base::log::kLevelRefused)
        << "write to " << settings_.save_path << ".part failed: " << file_->error();
    Fail(kDownloadErrorLocalFile, false);
    return;
  }
  attempt_bytes_ += static_cast<int64_t>(bytes);
  if (notify_.ProgressDue(file_->size())) {
    DeliverProgress();
  }
  if (StillRunning()) {
    ReadNext();
  }
}

void WinDownloadJob::ReadNext() {
  const int64_t cap = urgent_ ? 0 : static_cast<int64_t>(speed_limit_kib_) * kBytesPerKib;
  if (cap > 0) {
    // Hold the next read until the attempt's average is back under the cap.
    const auto due =
        attempt_start_ + std::chrono::milliseconds(attempt_bytes_ * kMillisecondsPerSecond / cap);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        due - std::chrono::steady_clock::now());
    if (wait.count() > 0) {
      pace_task_ = PostDelayedNetworkTask(wait, [weak = weak_from_this()] {
        if (auto job = weak.lock(); job && job->http_) {
          job->pace_task_ = 0;
          job->http_->ReadMore();
        }
      });
      return;
    }
  }
  http_->ReadMore();
}

void WinDownloadJob::EndOfBody() {
  if (content_length_ >= 0 && attempt_bytes_ < content_length_) {
    // The connection closed before the announced length: a cut, resumed where it stopped.
    BASE_LOG(base::log::kLevelRefused) << "download " << settings_.url << " cut after "
                                       << attempt_bytes_ << " of " << content_length_ << " bytes";
    RetryOrFail(true, kDownloadErrorTransport, true);
    return;
  }
  ReleaseTransfer();
  if (file_->size() != settings_.size) {
    BASE_LOG(base::log::kLevelRefused)
        << "got " << file_->size() << " bytes, expected " << settings_.size;
    Fail(kDownloadErrorSizeMismatch, false);
    return;
  }
  const std::string md5 = file_->Finish();
  if (md5.empty()) {
    BASE_LOG(base::log::kLevelRefused)
        << "cannot flush " << settings_.save_path << ".part: " << file_->error();
    Fail(kDownloadErrorLocalFile, false);
    return;
  }
  FinishVerified(md5);
}

void WinDownloadJob::OnError(DWORD error) {
  if (finished_) {
    return;
  }
  BASE_LOG(base::log::kLevelRefused)
      << "download " << settings_.url << " failed: WinHTTP error " << error;
  if (error == ERROR_WINHTTP_INVALID_URL || error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME) {
    Fail(kDownloadErrorBadRequest, true);
  } else {
    RetryOrFail(IsTransientWinHttpError(error), kDownloadErrorTransport, true);
  }
}

bool WinDownloadJob::RenameIntoPlace() {
  // Only the file this job wrote and verified, still held, is renamed.
  if (const DWORD rename_error = file_->RenameTo(target_path_); rename_error != 0) {
    BASE_LOG(base::log::kLevelRefused)
        << "cannot rename " << settings_.save_path << ".part: " << rename_error;
    return false;
  }
  ::DeleteFileW(info_path_.c_str());
  return true;
}

void WinDownloadJob::RemovePartFiles() {
  if (part_path_.empty()) {
    return;
  }
  if (file_) {
    file_->Remove();  // this very file, when the handle closes
  } else if (WinPartFile::IsHeldElsewhere(part_path_)) {
    return;  // another job's files now
  } else {
    ::DeleteFileW(part_path_.c_str());
  }
  ::DeleteFileW(info_path_.c_str());
}

void WinDownloadJob::DropFile(bool remove) {
  if (file_ && remove) {
    file_->Remove();
  }
  file_.reset();
}

}  // namespace

std::shared_ptr<DownloadJobControl> NewDownloadJob(DownloadSettings settings,
                                                   std::shared_ptr<DeliveryGate> gate,
                                                   IDownloadResponseDelegate* delegate,
                                                   DownloadServiceRequest* request) {
  return std::make_shared<WinDownloadJob>(std::move(settings), std::move(gate), delegate, request);
}

}  // namespace tavorisdk::internal
