// Test support: delegates that record what the SDK tells them, for tests to
// wait on with a bound.  Thread-safe: notifications arrive on the SDK's network
// thread while the test reads. The hooks (on_event, on_answer) run inside the
// notification, after it was recorded and without the recorder's lock; set them
// before the request starts.

#ifndef TAVORISDK_TEST_RECORDING_DELEGATES_H_
#define TAVORISDK_TEST_RECORDING_DELEGATES_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tavorisdk/cgi_service.h"
#include "tavorisdk/download_service.h"

namespace tavorisdk::test {

struct DownloadEvent {
  enum Kind { kStart, kProgress, kFinish, kRetry };
  Kind kind = kStart;
  int64_t received = 0;  // progress
  int64_t total = 0;     // progress
  int32_t error = 0;     // finish: the code; retry: the failure being retried
  int attempt = 0;       // retry
  std::string path;      // finish
  std::thread::id thread;
};

class RecordingDownloadDelegate : public IDownloadResponseDelegate {
 public:
  std::function<void(DownloadServiceRequest*, const DownloadEvent&)> on_event;

  void OnDownloadStart(DownloadServiceRequest* request) override;
  void OnDownloadProgress(DownloadServiceRequest* request, int64_t received,
                          int64_t total) override;
  using IDownloadResponseDelegate::OnDownloadFinish;
  void OnDownloadFinish(DownloadServiceRequest* request, int32_t error, const char* path) override;
  void OnDownloadRetry(DownloadServiceRequest* request, int attempt, int32_t error) override;

  std::vector<DownloadEvent> Events() const;
  size_t Count(DownloadEvent::Kind kind) const;
  // The first finish notification, if one came.
  std::optional<DownloadEvent> Finish() const;
  // Waits until a finish notification was recorded; false on timeout.
  bool WaitForFinish(std::chrono::milliseconds timeout) const;
  // Waits until |done| holds for the events recorded so far; false on timeout.
  bool WaitFor(const std::function<bool(const std::vector<DownloadEvent>&)>& done,
               std::chrono::milliseconds timeout) const;

 private:
  void Record(DownloadServiceRequest* request, DownloadEvent event);

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<DownloadEvent> events_;
};

struct CgiAnswer {
  ICGIRequest* request = nullptr;
  int32_t status = 0;
  bool has_body = false;
  std::string body;
  std::thread::id thread;
};

class RecordingCGIDelegate : public ICGITypedResponseDelegate<std::string> {
 public:
  std::function<void(ICGIRequest*, const CgiAnswer&)> on_answer;

  void OnRequestSent(ICGIRequest* request) override;
  void OnRequestRetry(ICGIRequest* request, int attempt) override;
  void OnResponse(ICGIRequest* request, int32_t status, const std::string* body) override;

  std::vector<CgiAnswer> Answers() const;
  int SentCount() const;
  int RetryCount() const;
  bool WaitForAnswers(size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<CgiAnswer> answers_;
  int sent_ = 0;
  int retries_ = 0;
};

}  // namespace tavorisdk::test

#endif  // TAVORISDK_TEST_RECORDING_DELEGATES_H_
