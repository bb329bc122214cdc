#include "tavorisdk/test/recording_delegates.h"

#include <algorithm>

namespace tavorisdk::test {

void RecordingDownloadDelegate::Record(DownloadServiceRequest* request, DownloadEvent event) {
  event.thread = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(event);
    changed_.notify_all();
  }
  if (on_event) {
    on_event(request, event);
  }
}

void RecordingDownloadDelegate::OnDownloadStart(DownloadServiceRequest* request) {
  DownloadEvent event;
  event.kind = DownloadEvent::kStart;
  Record(request, event);
}

void RecordingDownloadDelegate::OnDownloadProgress(DownloadServiceRequest* request,
                                                   int64_t received, int64_t total) {
  DownloadEvent event;
  event.kind = DownloadEvent::kProgress;
  event.received = received;
  event.total = total;
  Record(request, event);
}

void RecordingDownloadDelegate::OnDownloadFinish(DownloadServiceRequest* request, int32_t error,
                                                 const char* path) {
  DownloadEvent event;
  event.kind = DownloadEvent::kFinish;
  event.error = error;
  event.path = path != nullptr ? path : "(null)";
  Record(request, event);
}

void RecordingDownloadDelegate::OnDownloadRetry(DownloadServiceRequest* request, int attempt,
                                                int32_t error) {
  DownloadEvent event;
  event.kind = DownloadEvent::kRetry;
  event.error = error;
  event.attempt = attempt;
  Record(request, event);
}

std::vector<DownloadEvent> RecordingDownloadDelegate::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

size_t RecordingDownloadDelegate::Count(DownloadEvent::Kind kind) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t count = 0;
  for (const DownloadEvent& event : events_) {
    count += event.kind == kind ? 1 : 0;
  }
  return count;
}

std::optional<DownloadEvent> RecordingDownloadDelegate::Finish() const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const DownloadEvent& event : events_) {
    if (event.kind == DownloadEvent::kFinish) {
      return event;
    }
  }
  return std::nullopt;
}

bool RecordingDownloadDelegate::WaitForFinish(std::chrono::milliseconds timeout) const {
  return WaitFor(
      [](const std::vector<DownloadEvent>& events) {
        return std::ranges::any_of(events, [](const DownloadEvent& event) {
          return event.kind == DownloadEvent::kFinish;
        });
      },
      timeout);
}

bool RecordingDownloadDelegate::WaitFor(
    const std::function<bool(const std::vector<DownloadEvent>&)>& done,
    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] { return done(events_); });
}

void RecordingCGIDelegate::OnRequestSent(ICGIRequest* /*request*/) {
  std::lock_guard<std::mutex> lock(mu_);
  ++sent_;
}

void RecordingCGIDelegate::OnRequestRetry(ICGIRequest* /*request*/, int /*attempt*/) {
  std::lock_guard<std::mutex> lock(mu_);
  ++retries_;
}

void RecordingCGIDelegate::OnResponse(ICGIRequest* request, int32_t status,
                                      const std::string* body) {
  CgiAnswer answer{request, status, body != nullptr, body != nullptr ? *body : std::string(),
                   std::this_thread::get_id()};
  {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back(answer);
    changed_.notify_all();
  }
  if (on_answer) {
    on_answer(request, answer);
  }
}

std::vector<CgiAnswer> RecordingCGIDelegate::Answers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return answers_;
}

int RecordingCGIDelegate::SentCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

int RecordingCGIDelegate::RetryCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return retries_;
}

bool RecordingCGIDelegate::WaitForAnswers(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] { return answers_.size() >= count; });
}

}  // namespace tavorisdk::test
