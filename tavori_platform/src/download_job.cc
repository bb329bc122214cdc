// The download job's transfer: each attempt, the header and body callbacks, the verdict on the
// response and the progress notifications.  Network thread (download_job.h); the job's files are
// in download_job_files.cc, the retries, restarts and outcome in download_job_base.cc.

#include "src/download_job.h"

#include <unistd.h>

#include "base/check.h"
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
  BASE_DCHECK(OnNetworkThread());
  speed_limit_kib_ = kib_per_second;
  urgent_ = urgent;
  if (transfer_active_) {
    ApplySpeed();
  }
}

void DownloadJob::ReleaseAttempt() {
  if (transfer_active_) {
    NetworkThread::Get().RemoveTransfer(easy_);
    transfer_active_ = false;
  }
}

uint64_t DownloadJob::PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) {
  // The job cancels its tasks before it goes (ReleaseTransfer), so |task| may hold |this|.
  return NetworkThread::Get().PostDelayedTask(delay, std::move(task));
}

void DownloadJob::CancelDelayedTask(uint64_t id) { NetworkThread::Get().CancelDelayedTask(id); }

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
  TakeVerdict(verdict, status);
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
    if (!WritePartInfo(dir_fd_, info_name_, FreshRecord(etag_, last_modified_))) {
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
      RetryOrFail(IsTransientHttpStatus(abort_status_), kDownloadErrorHttpStatus, false);
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
    } else {
      RetryOrFail(IsTransientCurlError(code), kDownloadErrorTransport, true);
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
  FinishVerified(outcome.md5);
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

}  // namespace tavorisdk::internal
