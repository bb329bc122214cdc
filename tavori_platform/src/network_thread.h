// The SDK's network thread: one libcurl multi handle driven by curl_multi_poll, which also runs
// tasks posted from other threads and delayed tasks (retries).
//
// Everything that touches the multi handle or an easy handle added to it runs on this thread;
// other threads hand such work over with PostTask (libcurl forbids calling most multi functions
// from inside its own callbacks, and the multi handle is not thread-safe).
//
// The thread starts on first use of Get() and runs until the process exits; an exit handler then
// stops it: transfers still running are abandoned without notifications, and tasks posted after
// that are dropped.

#ifndef TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_
#define TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "tavorisdk/sdk_startup.h"

namespace tavorisdk::internal {

// Initialises libcurl's global state once per process; returns kSdkOk or
// kSdkErrorNetworkInit.  Any thread.
int EnsureCurlGlobalInit();

// The parameters of the first InitSDK call, or the defaults.  Any thread.
SDKStartupParam StartupParams();
void SetStartupParams(const SDKStartupParam& params);

class NetworkThread {
 public:
  using Task = std::function<void()>;
  using TransferDone = std::function<void(CURLcode)>;

  // The process's network thread, started on first use.
  static NetworkThread& Get();

  // Runs |task| on the network thread after the tasks posted before it.  Any thread.  Returns
  // false (dropping the task) once the thread is shutting down.
  bool PostTask(Task task);

  // Whether the caller runs on the network thread.
  bool IsCurrent() const { return std::this_thread::get_id() == thread_id_; }

  // --- Network thread only. ---

  // Adds |easy| to the multi handle.  |done| runs on this thread with the transfer's result when
  // it completes, unless RemoveTransfer is called first.  The caller keeps owning |easy|.
  void AddTransfer(CURL* easy, TransferDone done);
  // Takes |easy| out of the multi handle without calling its |done|.  No-op for unknown handles.
  void RemoveTransfer(CURL* easy);
  // Runs |task| on this thread after |delay|; returns an id for CancelDelayedTask.
  uint64_t PostDelayedTask(std::chrono::milliseconds delay, Task task);
  void CancelDelayedTask(uint64_t id);
  CURLM* multi() const { return multi_; }

  // Stops the loop and joins the thread (from the exit handler).  Idempotent.
  void Shutdown();

 private:
  NetworkThread();
  ~NetworkThread() = delete;  // lives for the rest of the process

  void Run();
  void RunPostedTasks();
  void RunDueDelayedTasks();
  void ProcessFinishedTransfers();
  // The longest the loop may sleep: until the next curl timeout or delayed task, 0 when tasks
  // are waiting.  The Locked form expects mu_ held.
  int PollTimeoutMs();
  int PollTimeoutMsLocked();
  // Wakes the loop from any thread.
  void Wake();

  CURLM* multi_ = nullptr;
  std::thread thread_;
  std::thread::id thread_id_;

  std::mutex mu_;
  std::condition_variable wake_;  // used only when there is no multi handle
  std::deque<Task> tasks_;  // guarded by mu_
  bool quit_ = false;       // guarded by mu_

  // Network thread only.
  std::unordered_map<CURL*, TransferDone> transfers_;
  std::multimap<std::chrono::steady_clock::time_point, std::pair<uint64_t, Task>> delayed_;
  uint64_t next_delayed_id_ = 1;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_
