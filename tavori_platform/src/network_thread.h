// The SDK's network thread on libcurl: one multi handle driven by curl_multi_poll,
// which also runs the TaskQueue's tasks posted from other threads and delayed
// tasks (retries).  The functions of sdk_runtime.h reach this thread.
//
// Everything that touches the multi handle or an easy handle added to it runs
// on this thread; other threads hand such work over with PostTask (libcurl
// forbids calling most multi functions from inside its own callbacks, and the
// multi handle is not thread-safe).  Code running inside a curl callback
// (write, header, pre-request) must not deliver notifications, since a delegate
// may call back into the SDK; it queues them with RunSoon, and the loop runs
// them as soon as the curl call returns.
//
// The thread starts on first use of Get() and runs until the process exits; the
// file looper's exit handler then stops it before draining the looper (the
// network thread posts hashing work there): transfers still running are
// abandoned without notifications, and tasks posted after that are kept but
// never run (so that nothing they own is destroyed while the process tears
// down).

#ifndef TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_
#define TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <unordered_map>

#include "src/sdk_runtime.h"
#include "src/task_queue.h"

namespace tavorisdk::internal {

// Initialises libcurl's global state once per process; returns kSdkOk or
// kSdkErrorNetworkInit.  Any thread.  (EnsureHttpStackInit on this backend.)
int EnsureCurlGlobalInit();

class NetworkThread {
 public:
  using Task = std::function<void()>;
  using TransferDone = std::function<void(CURLcode)>;

  // The process's network thread, started on first use.
  static NetworkThread& Get();

  // Runs |task| on the network thread after the tasks posted before it.  Any
  // thread.  Returns false once the thread is shutting down; the task is then
  // kept, never run.
  bool PostTask(Task task);

  // Whether the caller runs on the network thread.
  bool IsCurrent() const { return std::this_thread::get_id() == thread_id_.load(); }

  // --- Network thread only. ---

  // Runs |task| on this thread as soon as the current curl call (or task)
  // returns, before anything else.  Meant for curl callbacks that need to
  // notify someone.
  void RunSoon(Task task);
  // Adds |easy| to the multi handle.  |done| runs on this thread with the
  // transfer's result when it completes, unless RemoveTransfer is called first.
  // The caller keeps owning |easy|.
  void AddTransfer(CURL* easy, TransferDone done);
  // Takes |easy| out of the multi handle without calling its |done|.  No-op for
  // unknown handles.
  void RemoveTransfer(CURL* easy);
  // Runs |task| on this thread after |delay|; returns an id for
  // CancelDelayedTask.
  uint64_t PostDelayedTask(std::chrono::milliseconds delay, Task task);
  void CancelDelayedTask(uint64_t id);
  CURLM* multi() const { return multi_; }

  // Stops the loop and joins the thread (from the exit handler).  Idempotent.
  void Shutdown();

  ~NetworkThread() = delete;  // lives for the rest of the process

 private:
  NetworkThread();

  void Run();
  void ProcessFinishedTransfers();
  // How long the loop may sleep: until curl's next timer or the next delayed task, 0 when tasks
  // are waiting, practically forever when nothing is due.
  int PollTimeoutMs();

  CURLM* multi_ = nullptr;
  TaskQueue queue_;
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};

  // Network thread only (checked in debug builds where it is used).
  std::unordered_map<CURL*, TransferDone> transfers_;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_NETWORK_THREAD_H_
