// The download job's transfer: each attempt, the header and body callbacks, the verdict on the
// response, retries and restarts, the outcome and the notifications.  Network thread
// (download_job.h); the job's files are in download_job_files.cc.

#include "src/download_job.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log/log.h"
#include "src/curl_common.h"
#include "src/http_headers.h"
#include "src/network_thread.h"
#include "src/part_info.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// libcurl's receive buffer; at most DownloadFile::kChunkBytes, so that one
// write callback always fits the hashing pool once a chunk is free.
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr long kBytesPerKib = 1024;
constexpr long kMillisecondsPerSecond = 1000;

}  // namespace

void DownloadJob::StartAttempt() {
  retry_task_ = 0;
  resume_from_ = file_ ? file_->size() : 0;
  content_length_ = -1;
  range_start_ = -1;
  range_total_ = -1;
  etag_.clear();
  last_modified_.clear();
  decided_ = false;
  abort_ = Abort::kNone;
  abort_status_ = 0;
  paused_ = false;
  waiting_for_room_ = false;
  waiting_for_progress_ = false;

  TransferOptions options;
  options.url = settings_.url;
  options.user_agent = settings_.user_agent;
  options.connect_timeout_ms = settings_.connect_timeout_s * kMillisecondsPerSecond;
  options.stall_timeout_s = settings_.stall_timeout_s;
  ApplyCommonOptions(easy_, options);

  curl_slist_free_all(header_list_);
  header_list_ = nullptr;
  for (const std::string& header : settings_.headers) {
    header_list_ = curl_slist_append(header_list_, header.c_str());
  }
  if (resume_from_ > 0) {
    // A plain Range header: CURLOPT_RESUME_FROM would fail the transfer on a
    // 200 answer, which here means "start over" instead.
    range_text_ = std::to_string(resume_from_) + "-";
    curl_easy_setopt(easy_, CURLOPT_RANGE, range_text_.c_str());
    if (!validator_.empty()) {
      header_list_ = curl_slist_append(header_list_, ("If-Range: " + validator_).c_str());
    }
  }
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_);
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &DownloadJob::OnWriteThunk);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &DownloadJob::OnHeaderThunk);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  ApplySpeed();
  transfer_active_ = true;
  NetworkThread::Get().AddTransfer(easy_, [this](CURLcode code) {
    transfer_active_ = false;
    OnDone(code);
  });
  BASE_LOG(base::log::kLevelTrace) << "download " << settings_.url << " from " << resume_from_;
}

void DownloadJob::ApplySpeed() {
  const curl_off_t cap = urgent_ ? 0 : static_cast<curl_off_t>(speed_limit_kib_) * kBytesPerKib;
  curl_easy_setopt(easy_, CURLOPT_MAX_RECV_SPEED_LARGE, cap);
}

void DownloadJob::SetSpeed(int kib_per_second, bool urgent) {
  speed_limit_kib_ = kib_per_second;
  urgent_ = urgent;
  if (transfer_active_) {
    ApplySpeed();
  }
}

void DownloadJob::ReleaseTransfer() {
  if (retry_task_ != 0) {
    NetworkThread::Get().CancelDelayedTask(retry_task_);
    retry_task_ = 0;
  }
  if (transfer_active_) {
    NetworkThread::Get().RemoveTransfer(easy_);
    transfer_active_ = false;
  }
}

void DownloadJob::Cancel(int reason) {
  BASE_LOG(base::log::kLevelNote) << "download " << settings_.url << " stopped (" << reason << ")";
  finished_ = true;
  ReleaseTransfer();
  if (file_) {
    file_->Abort();  // the partial file stays for a later resume
    file_.reset();
  }
}

size_t DownloadJob::OnWriteThunk(char* data, size_t size, size_t count, void* self) {
  return static_cast<DownloadJob*>(self)->OnWrite(data, size * count);
}

size_t DownloadJob::OnHeaderThunk(char* data, size_t size, size_t count, void* self) {
  static_cast<DownloadJob*>(self)->OnHeaderLine(std::string_view(data, size * count));
  return size * count;
}

void DownloadJob::OnHeaderLine(std::string_view line) {
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect or an interim one): forget the previous
    // one's headers.
    content_length_ = -1;
    range_start_ = -1;
    range_total_ = -1;
    etag_.clear();
    last_modified_.clear();
  } else if (HeaderNameIs(line, "Content-Length")) {
    content_length_ = ParseLeadingInt64(HeaderValue(line));
  } else if (HeaderNameIs(line, "Content-Range")) {
    const ContentRange range = ParseContentRange(HeaderValue(line));
    range_start_ = range.start;
    range_total_ = range.total;
  } else if (HeaderNameIs(line, "ETag")) {
    etag_ = HeaderValue(line);
  } else if (HeaderNameIs(line, "Last-Modified")) {
    last_modified_ = HeaderValue(line);
  }
}

std::shared_ptr<DownloadJobControl> NewDownloadJob(DownloadSettings settings,
                                                   std::shared_ptr<DeliveryGate> gate,
                                                   IDownloadResponseDelegate* delegate,
                                                   DownloadServiceRequest* request) {
  return std::make_shared<DownloadJob>(std::move(settings), std::move(gate), delegate, request);
}

bool DownloadJob::Decide() {
  decided_ = true;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  ResponseFacts facts;
  facts.status = status;
  facts.resume_from = resume_from_;
  facts.content_length = content_length_;
  facts.range = ContentRange{range_start_, range_total_};
  facts.expected_size = settings_.size;
  facts.known_total = server_total_;
  const ResponseVerdict verdict = JudgeResponse(facts);
  switch (verdict.action) {
    case ResponseAction::kRangeMismatch:
      abort_ = Abort::kRangeMismatch;
      return false;
    case ResponseAction::kHttpError:
      abort_ = Abort::kHttpStatus;
      abort_status_ = status;
      return false;
    case ResponseAction::kSizeMismatch:
      BASE_LOG(base::log::kLevelRefused)
          << "server announces " << verdict.total << " bytes, expected " << settings_.size;
      abort_ = Abort::kSizeMismatch;
      return false;
    case ResponseAction::kAppend:
    case ResponseAction::kWhole:
      break;
  }
  if (verdict.start_over) {
    // Start over with this very response.
    BASE_LOG(base::log::kLevelNote)
        << "server answered " << status << " to a range request; starting over";
    DropFile(true);
    resume_from_ = 0;
    resumed_from_disk_ = false;
  }
  server_total_ = verdict.total;
  if (!file_) {
    int error = 0;
    file_ = DownloadFile::CreateFresh(dir_fd_, part_name_, true, &error);
    if (!file_) {
      BASE_LOG(base::log::kLevelRefused)
          << "cannot create " << settings_.save_path << ".part: " << error;
      abort_ = Abort::kLocalFile;
      return false;
    }
    WatchRoom();
    validator_ = ChooseValidator(etag_, last_modified_);
    PartInfo info{settings_.url, settings_.md5, settings_.size, validator_};
    if (!WritePartInfo(dir_fd_, info_name_, info)) {
      BASE_LOG(base::log::kLevelRefused) << "cannot write " << settings_.save_path << ".part.info";
    }
  }
  if (!notify_.started()) {
    notify_.MarkStarted();
    NetworkThread::Get().RunSoon([self = shared_from_this()] { self->notify_.Start(); });
  }
  return true;
}

size_t DownloadJob::OnWrite(const char* data, size_t bytes) {
  if (!decided_ && !Decide()) {
    return 0;  // aborts the transfer; OnDone reads abort_
  }
  if (abort_ != Abort::kNone) {
    return 0;
  }
  if (settings_.size >= 0 && file_->size() + static_cast<int64_t>(bytes) > settings_.size) {
    BASE_LOG(base::log::kLevelRefused) << "body longer than the expected " << settings_.size;
    abort_ = Abort::kSizeMismatch;
    return 0;
  }
  if (progress_pending_) {
    // A progress notification is due and runs once curl returns: hold the data until then, so
    // that one perform call (which may read many MiB) cannot skip progress steps.
    waiting_for_progress_ = true;
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (!file_->Reserve(bytes)) {
    waiting_for_room_ = true;  // OnRoom resumes the transfer once the hasher has caught up
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (!file_->Write(data, bytes)) {
    abort_ = Abort::kLocalFile;
    return 0;
  }
  MaybeProgress();
  return bytes;
}

void DownloadJob::OnRoom() {
  waiting_for_room_ = false;
  ResumeIfReady();
}

void DownloadJob::ResumeIfReady() {
  if (paused_ && transfer_active_ && !waiting_for_room_ && !waiting_for_progress_) {
    paused_ = false;
    // May call OnWrite right away with the data held back.
    curl_easy_pause(easy_, CURLPAUSE_CONT);
  }
}

void DownloadJob::OnDone(CURLcode code) {
  if (finished_) {
    return;
  }
  if (code == CURLE_OK && !decided_) {
    Decide();  // a response without body
  }
  switch (abort_) {
    case Abort::kRangeMismatch:
      RestartFresh("the server did not send the range asked for");
      return;
    case Abort::kHttpStatus:
      BASE_LOG(base::log::kLevelRefused)
          << "download " << settings_.url << ": HTTP " << abort_status_;
      if (IsTransientHttpStatus(abort_status_) && retries_ < settings_.max_retries) {
        ScheduleRetry(kDownloadErrorHttpStatus);
      } else {
        Fail(kDownloadErrorHttpStatus, false);
      }
      return;
    case Abort::kSizeMismatch:
      Fail(kDownloadErrorSizeMismatch, false);
      return;
    case Abort::kLocalFile:
      Fail(kDownloadErrorLocalFile, false);
      return;
    case Abort::kNone:
      break;
  }
  if (code != CURLE_OK) {
    BASE_LOG(base::log::kLevelRefused)
        << "download " << settings_.url << " failed: " << curl_easy_strerror(code);
    if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) {
      Fail(kDownloadErrorBadRequest, true);
    } else if (IsTransientCurlError(code) && retries_ < settings_.max_retries) {
      ScheduleRetry(kDownloadErrorTransport);
    } else {
      Fail(kDownloadErrorTransport, true);
    }
    return;
  }
  if (file_->size() != settings_.size) {
    BASE_LOG(base::log::kLevelRefused)
        << "got " << file_->size() << " bytes, expected " << settings_.size;
    Fail(kDownloadErrorSizeMismatch, false);
    return;
  }
  file_->Finish([weak = weak_from_this()](const DownloadFile::Outcome& outcome) {
    NetworkThread::Get().PostTask([weak, outcome] {
      if (auto job = weak.lock()) {
        job->OnFileFinished(outcome);
      }
    });
  });
}

void DownloadJob::OnFileFinished(const DownloadFile::Outcome& outcome) {
  if (finished_ || gate_.closed()) {
    return;
  }
  if (!outcome.ok) {
    Fail(kDownloadErrorLocalFile, false);
    return;
  }
  if (outcome.md5 != settings_.md5) {
    BASE_LOG(base::log::kLevelRefused)
        << "MD5 of " << settings_.url << " is " << outcome.md5 << ", expected " << settings_.md5;
    if (resumed_from_disk_ && fresh_restarts_ < kMaxFreshRestarts) {
      // The bytes kept from an earlier run were not what they claimed: fetch it
      // all again.
      RestartFresh("the resumed file did not match its MD5");
      return;
    }
    Fail(kDownloadErrorMd5Mismatch, false);
    return;
  }
  Succeed();
}

void DownloadJob::ScheduleRetry(int32_t error) {
  ++retries_;
  notify_.Retry(retries_, error);
  if (gate_.closed()) {
    return;  // stopped from inside the notification; the cancellation is on its
             // way
  }
  retry_task_ = NetworkThread::Get().PostDelayedTask(RetryDelay(retries_), [this] {
    retry_task_ = 0;
    StartAttempt();
  });
}

void DownloadJob::RestartFresh(const char* why) {
  if (fresh_restarts_ >= kMaxFreshRestarts) {
    Fail(kDownloadErrorTransport, false);
    return;
  }
  BASE_LOG(base::log::kLevelNote) << "download " << settings_.url << " starts over: " << why;
  ++fresh_restarts_;
  RemovePartFiles();
  DropFile(false);
  validator_.clear();
  resumed_from_disk_ = false;
  server_total_ = -1;
  StartAttempt();
}

void DownloadJob::Succeed() {
  finished_ = true;
  DeliverProgress();  // the final one
  // The rename happens inside the gate: once Stop has returned, no file appears
  // at the target.
  if (!gate_.Enter()) {
    DropFile(false);
    return;
  }
  int32_t error = kDownloadOk;
  // Only the file this job wrote and verified, still locked, is renamed.
  if (const int rename_error = file_->RenameAt(dir_fd_, part_name_, target_name_);
      rename_error != 0) {
    BASE_LOG(base::log::kLevelRefused) << "cannot rename " << settings_.save_path << ".part: "
                                       << (rename_error == ESTALE ? "the name leads to another file"
                                                                  : std::strerror(rename_error));
    error = kDownloadErrorLocalFile;
    RemovePartFiles();
  } else {
    ::unlinkat(dir_fd_, info_name_.c_str(), 0);
    if (::fsync(dir_fd_) != 0) {
      BASE_LOG(base::log::kLevelRefused) << "cannot sync directory " << dir_ << ": " << errno;
    }
    BASE_LOG(base::log::kLevelNote)
        << "downloaded " << settings_.url << " to " << settings_.save_path;
  }
  DropFile(false);
  notify_.FinishEntered(error);
  gate_.Leave();
}

void DownloadJob::Fail(int32_t error, bool keep_part) {
  finished_ = true;
  ReleaseTransfer();
  if (!keep_part) {
    RemovePartFiles();
  }
  DropFile(false);
  BASE_LOG(base::log::kLevelRefused) << "download " << settings_.url << " failed with " << error;
  notify_.Finish(error);
}

void DownloadJob::MaybeProgress() {
  if (progress_pending_) {
    return;
  }
  if (notify_.ProgressDue(file_->size())) {
    progress_pending_ = true;
    NetworkThread::Get().RunSoon([self = shared_from_this()] {
      self->progress_pending_ = false;
      if (!self->finished_) {
        self->DeliverProgress();
      }
      self->waiting_for_progress_ = false;
      if (!self->finished_) {
        self->ResumeIfReady();
      }
    });
  }
}

void DownloadJob::DeliverProgress() { notify_.Progress(file_ ? file_->size() : settings_.size); }

}  // namespace tavorisdk::internal
