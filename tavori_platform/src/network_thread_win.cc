// The SDK's network thread on Windows: a TaskQueue of its own, since WinHTTP in asynchronous
// mode reports on its own threads and every report arrives here as a posted task
// (winhttp_request.h).  The thread starts on first use and runs until the process exits; the
// exit step (RegisterExitStep) stops it before the file looper drains, abandoning transfers
// still running without notifications.

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <thread>

#include "base/log/log.h"
#include "src/sdk_runtime.h"
#include "src/task_queue.h"
#include "src/winhttp_request.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// Methods run on any thread where they say so; the queue guards itself.
class NetworkThread {
 public:
  static NetworkThread& Get() {
    static NetworkThread* instance = [] {
      RegisterExitStep([] { Get().Shutdown(); }, [] { return Get().IsCurrent(); });
      return new NetworkThread();
    }();
    return *instance;
  }

  TaskQueue& queue() { return queue_; }
  bool IsCurrent() const { return std::this_thread::get_id() == thread_id_.load(); }

  // Any thread.  Idempotent.
  void Shutdown() {
    if (!queue_.Quit()) {
      return;
    }
    if (IsCurrent()) {
      thread_.detach();  // exit from inside a notification: this thread never returns
      return;
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  ~NetworkThread() = delete;  // lives for the rest of the process

 private:
  NetworkThread() {
    thread_ = std::thread([this] {
      thread_id_ = std::this_thread::get_id();
      Run();
    });
    BASE_LOG(base::log::kLevelNote) << "network thread started";
  }

  void Run() {
    while (!queue_.Quitting()) {
      queue_.RunPosted();
      queue_.RunDueDelayed();
      queue_.WaitForWork();  // until a post, the quit or the next delayed task
    }
    BASE_LOG(base::log::kLevelNote) << "network thread stopped";
  }

  TaskQueue queue_;
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};
};

}  // namespace

int EnsureHttpStackInit() {
  static const int result = [] {
    if (!::WinHttpCheckPlatform()) {
      BASE_LOG_FUNCTION(base::log::kLevelFailure, "EnsureHttpStackInit")
          << "WinHTTP is not supported on this system";
      return kSdkErrorNetworkInit;
    }
    return WinHttpSession() != nullptr ? kSdkOk : kSdkErrorNetworkInit;
  }();
  return result;
}

// WinHTTP always carries TLS (Schannel).
int CheckHttpStackFeatures() { return EnsureHttpStackInit(); }

bool PostNetworkTask(NetworkTask task) {
  return NetworkThread::Get().queue().Post(std::move(task));
}
bool OnNetworkThread() { return NetworkThread::Get().IsCurrent(); }
void RunOnNetworkSoon(NetworkTask task) { NetworkThread::Get().queue().RunSoon(std::move(task)); }
uint64_t PostDelayedNetworkTask(std::chrono::milliseconds delay, NetworkTask task) {
  return NetworkThread::Get().queue().PostDelayed(delay, std::move(task));
}
void CancelDelayedNetworkTask(uint64_t id) { NetworkThread::Get().queue().CancelDelayed(id); }

}  // namespace tavorisdk::internal
