// Test support: delegates that record what the SDK tells them, for tests to
// wait on with a bound.  Notifications arrive on the SDK's network thread while
// the test reads; each recorder's mutex guards its list.  The download hook
// (on_event) runs inside the notification, after it was recorded and without
// the lock; set it before the request starts.

#ifndef TAVORISDK_TEST_RECORDING_DELEGATES_H_
#define TAVORISDK_TEST_RECORDING_DELEGATES_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "tavorisdk/cgi_service.h"
#include "tavorisdk/download_service.h"

namespace tavorisdk::test {

// What a delegate was told, in order.  Any thread.
template <typename T>
class Recorder {
 public:
  std::vector<T> All() const {
    base::AutoLock lock(mu_);
    return items_;
  }
  // Waits until |done| holds for what was recorded so far; false on timeout.
  bool WaitFor(const std::function<bool(const std::vector<T>&)>& done,
               std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    base::AutoLock lock(mu_);
    while (!done(items_)) {
      if (!changed_.WaitUntil(mu_, deadline)) {
        return done(items_);
      }
    }
    return true;
  }

 protected:
  void Add(const T& item) {
    base::AutoLock lock(mu_);
    items_.push_back(item);
    changed_.Broadcast();
  }

 private:
  mutable base::Lock mu_;
  mutable base::ConditionVariable changed_;
  std::vector<T> items_ GUARDED_BY(mu_);
};

struct DownloadEvent {
  enum Kind { kStart, kProgress, kFinish, kRetry };
  Kind kind = kStart;
  int64_t received = 0;   // progress
  int64_t total = 0;      // progress
  int32_t error = 0;      // finish: the code; retry: the failure being retried
  std::string path = {};  // finish
  std::thread::id thread = std::this_thread::get_id();
};

class RecordingDownloadDelegate : public IDownloadResponseDelegate, public Recorder<DownloadEvent> {
 public:
  std::function<void(DownloadServiceRequest*, const DownloadEvent&)> on_event;

  void OnDownloadStart(DownloadServiceRequest* request) override {
    Record(request, {.kind = DownloadEvent::kStart});
  }
  void OnDownloadProgress(DownloadServiceRequest* request, int64_t received,
                          int64_t total) override {
    Record(request, {.kind = DownloadEvent::kProgress, .received = received, .total = total});
  }
  using IDownloadResponseDelegate::OnDownloadFinish;
  void OnDownloadFinish(DownloadServiceRequest* request, int32_t error, const char* path) override {
    Record(request, {.kind = DownloadEvent::kFinish,
                     .error = error,
                     .path = path != nullptr ? path : "(null)"});
  }
  void OnDownloadRetry(DownloadServiceRequest* request, int /*attempt*/, int32_t error) override {
    Record(request, {.kind = DownloadEvent::kRetry, .error = error});
  }

  std::vector<DownloadEvent> Of(DownloadEvent::Kind kind) const {
    std::vector<DownloadEvent> events = All();
    std::erase_if(events, [kind](const DownloadEvent& e) { return e.kind != kind; });
    return events;
  }
  // The first finish notification, if one came.
  std::optional<DownloadEvent> Finish() const {
    const auto finishes = Of(DownloadEvent::kFinish);
    return finishes.empty() ? std::nullopt : std::optional(finishes.front());
  }
  // Waits until a notification of |kind| was recorded; false on timeout.
  bool WaitForEvent(DownloadEvent::Kind kind, std::chrono::milliseconds timeout) const {
    return WaitFor(
        [kind](const auto& events) {
          return std::ranges::any_of(events, [kind](const auto& e) { return e.kind == kind; });
        },
        timeout);
  }
  bool WaitForFinish(std::chrono::milliseconds timeout) const {
    return WaitForEvent(DownloadEvent::kFinish, timeout);
  }

 private:
  void Record(DownloadServiceRequest* request, const DownloadEvent& event) {
    Add(event);
    if (on_event) {
      on_event(request, event);
    }
  }
};

struct CgiAnswer {
  ICGIRequest* request = nullptr;
  int32_t status = 0;
  std::optional<std::string> body;
  std::thread::id thread = std::this_thread::get_id();
};

class RecordingCGIDelegate : public ICGITypedResponseDelegate<std::string>,
                             public Recorder<CgiAnswer> {
 public:
  std::atomic<int> sent{0};     // OnRequestSent calls
  std::atomic<int> retries{0};  // OnRequestRetry calls

  void OnRequestSent(ICGIRequest* /*request*/) override { ++sent; }
  void OnRequestRetry(ICGIRequest* /*request*/, int /*attempt*/) override { ++retries; }
  void OnResponse(ICGIRequest* request, int32_t status, const std::string* body) override {
    Add({.request = request,
         .status = status,
         .body = body != nullptr ? std::optional(*body) : std::nullopt});
  }

  bool WaitForAnswers(size_t count, std::chrono::milliseconds timeout) const {
    return WaitFor([count](const auto& answers) { return answers.size() >= count; }, timeout);
  }
};

// Waits (with a bound) until every task the SDK's network thread had queued
// before has run: a download without URL is answered from that queue.
inline bool FlushNetworkThread(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  RecordingDownloadDelegate barrier;
  auto request = CreateDownloadRequest();
  request->Start(&barrier);
  return barrier.WaitForFinish(timeout);
}

}  // namespace tavorisdk::test

#endif  // TAVORISDK_TEST_RECORDING_DELEGATES_H_
