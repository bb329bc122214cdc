#include "src/download_policy.h"

#include "base/log/log.h"
#include "util/crypto/crypto.h"

namespace tavorisdk::internal {
namespace {

// The HTTP statuses the job tells apart; any other outside 2xx fails the attempt.
constexpr long kHttpOk = 200;
constexpr long kHttpPartialContent = 206;
constexpr long kHttpMultipleChoices = 300;
constexpr long kHttpRangeNotSatisfiable = 416;
constexpr int64_t kPercent = 100;
constexpr char kLogSource[] = "tavori_platform";

}  // namespace

void DownloadNotifier::MarkStarted() {
  started_ = true;
  notified_time_ = std::chrono::steady_clock::now();
}

void DownloadNotifier::Start() {
  DeliverThrough(*gate_, [&] { delegate_->OnDownloadStart(request_); });
}

bool DownloadNotifier::ProgressDue(int64_t received) const {
  return ::tavorisdk::internal::ProgressDue(
      received, notified_bytes_, settings_.size, std::chrono::steady_clock::now() - notified_time_,
      std::chrono::milliseconds(settings_.progress_interval_ms));
}

void DownloadNotifier::Progress(int64_t received) {
  const int64_t total = settings_.size;
  notified_bytes_ = received;
  notified_time_ = std::chrono::steady_clock::now();
  DeliverThrough(*gate_, [&] { delegate_->OnDownloadProgress(request_, received, total); });
}

void DownloadNotifier::Retry(int attempt, int32_t error) {
  DeliverThrough(*gate_, [&] { delegate_->OnDownloadRetry(request_, attempt, error); });
}

void DownloadNotifier::Finish(int32_t error) {
  DeliverThrough(*gate_,
                 [&] { delegate_->OnDownloadFinish(request_, error, settings_.save_path); });
}

void DownloadNotifier::FinishEntered(int32_t error) {
  CallDelegate([&] { delegate_->OnDownloadFinish(request_, error, settings_.save_path); });
}

int32_t RefuseUnverifiable(const DownloadSettings& settings) {
  if (settings.size < 0) {
    BASE_LOG(base::log::kLevelRefused) << "download " << settings.url << " has no expected size";
    return kDownloadErrorSizeMismatch;
  }
  if (!util::crypto::IsMd5Text(settings.md5)) {
    BASE_LOG(base::log::kLevelRefused)
        << "download " << settings.url << " has no valid MD5: \"" << settings.md5 << "\"";
    return kDownloadErrorMd5Mismatch;
  }
  return kDownloadOk;
}

ResponseVerdict JudgeResponse(const ResponseFacts& facts) {
  ResponseVerdict verdict;
  const long status = facts.status;
  if (facts.resume_from > 0 &&
      (status == kHttpPartialContent || status == kHttpRangeNotSatisfiable)) {
    const int64_t total = facts.range.total;
    if (status == kHttpRangeNotSatisfiable || facts.range.start != facts.resume_from ||
        (facts.expected_size >= 0 && total >= 0 && total != facts.expected_size) ||
        (facts.known_total >= 0 && total >= 0 && total != facts.known_total)) {
      verdict.action = ResponseAction::kRangeMismatch;
      return verdict;
    }
    verdict.action = ResponseAction::kAppend;
    verdict.total = total;
  } else if (status < kHttpOk || status >= kHttpMultipleChoices || status == kHttpPartialContent) {
    verdict.action = ResponseAction::kHttpError;
    return verdict;
  } else {
    // The server ignored the range, or the resource changed (If-Range): the body is all of it.
    verdict.action = ResponseAction::kWhole;
    verdict.start_over = facts.resume_from > 0;
    verdict.total = facts.content_length;
  }
  if (facts.expected_size >= 0 && verdict.total >= 0 && verdict.total != facts.expected_size) {
    verdict.action = ResponseAction::kSizeMismatch;
  }
  return verdict;
}

std::string ChooseValidator(std::string_view etag, std::string_view last_modified) {
  return std::string((!etag.empty() && !etag.starts_with("W/")) ? etag : last_modified);
}

bool ProgressDue(int64_t received, int64_t notified, int64_t total,
                 std::chrono::steady_clock::duration since_notified,
                 std::chrono::milliseconds interval) {
  return (total > 0 && (received - notified) * kPercent >= total) || since_notified >= interval;
}

}  // namespace tavorisdk::internal
