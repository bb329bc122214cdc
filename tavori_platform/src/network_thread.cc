#include "src/network_thread.h"

#include <algorithm>
#include <cstdlib>

#include "base/log/log.h"
#include "base/threading/looper_thread.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// Longest time the loop sleeps without a reason to wake; bounds the delay of
// anything that does not wake it explicitly.
constexpr int kMaxPollMs = 1000;

std::mutex& ParamsMutex() {
  static std::mutex mutex;
  return mutex;
}

SDKStartupParam& Params() {
  static auto* params = new SDKStartupParam();
  return *params;
}

std::atomic<bool> g_exiting{false};

std::shared_mutex& DeliveryMutex() {
  static auto* mutex = new std::shared_mutex();
  return *mutex;
}
std::atomic<NetworkThread*> g_network_thread{nullptr};
// A step of the file looper's exit handler, so that the network thread (which
// posts hashing work to the file looper) always stops before the looper.
void OnProcessExit() {
  NetworkThread* const network = g_network_thread.load();
  if (network != nullptr && network->IsCurrent()) {
    g_exiting = true;  // exit() from inside a notification: that one is the last
  } else {
    std::unique_lock<std::shared_mutex> no_delivery(DeliveryMutex());
    g_exiting = true;
  }
  if (network != nullptr) {
    network->Shutdown();
  }
}

void RegisterExitHandler() {
  static std::once_flag once;
  std::call_once(once,
                 [] { base::threading::LooperThread::RunBeforeFileLooperExit(OnProcessExit); });
}

// The network thread's multi handle, limited to the configured connections per host; null
// when curl cannot make one.
CURLM* NewMultiHandle() {
  EnsureCurlGlobalInit();
  CURLM* const multi = curl_multi_init();
  if (multi == nullptr) {
    BASE_LOG_FUNCTION(base::log::kLevelFailure, "NetworkThread") << "curl_multi_init failed";
    return nullptr;
  }
  const long per_host = std::max(1, StartupParams().max_connections_per_host);
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, per_host);
  return multi;
}

}  // namespace

int EnsureCurlGlobalInit() {
  static const int result = [] {
    const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
      BASE_LOG_FUNCTION(base::log::kLevelFailure, "EnsureCurlGlobalInit")
          << "curl_global_init failed: " << curl_easy_strerror(code);
      return kSdkErrorNetworkInit;
    }
    return kSdkOk;
  }();
  return result;
}

SDKStartupParam StartupParams() {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  return Params();
}

void SetStartupParams(const SDKStartupParam& params) {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  Params() = params;
}

bool IsExiting() { return g_exiting.load(); }

bool BeginDelivery() {
  DeliveryMutex().lock_shared();
  if (g_exiting.load()) {
    DeliveryMutex().unlock_shared();
    return false;
  }
  return true;
}

void EndDelivery() { DeliveryMutex().unlock_shared(); }

NetworkThread& NetworkThread::Get() {
  static NetworkThread* instance = [] {
    RegisterExitHandler();
    auto* created = new NetworkThread();
    g_network_thread = created;
    return created;
  }();
  return *instance;
}

NetworkThread::NetworkThread() : multi_(NewMultiHandle()) {
  thread_ = std::thread([this] {
    thread_id_ = std::this_thread::get_id();
    Run();
  });
  BASE_LOG(base::log::kLevelNote) << "network thread started";
}

bool NetworkThread::PostTask(Task task) {
  bool accepted = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // After quit the task is kept but never runs: destroying it here could
    // release objects that the exiting loop still uses.
    tasks_.push_back(std::move(task));
    accepted = !quit_;
  }
  if (accepted) {
    Wake();
  }
  return accepted;
}

void NetworkThread::RunSoon(Task task) { soon_.push_back(std::move(task)); }

void NetworkThread::Wake() {
  if (multi_ != nullptr) {
    curl_multi_wakeup(multi_);
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    wake_.notify_all();
  }
}

void NetworkThread::AddTransfer(CURL* easy, TransferDone done) {
  transfers_[easy] = std::move(done);
  const CURLMcode code =
      multi_ != nullptr ? curl_multi_add_handle(multi_, easy) : CURLM_OUT_OF_MEMORY;
  if (code != CURLM_OK) {
    BASE_LOG(base::log::kLevelFailure)
        << "curl_multi_add_handle failed: " << curl_multi_strerror(code);
    // Report it as a failed transfer on the next turn of the loop, never
    // synchronously.
    TransferDone failed = std::move(transfers_[easy]);
    transfers_.erase(easy);
    PostDelayedTask(std::chrono::milliseconds(0),
                    [failed = std::move(failed)] { failed(CURLE_FAILED_INIT); });
  }
}

void NetworkThread::RemoveTransfer(CURL* easy) {
  auto it = transfers_.find(easy);
  if (it == transfers_.end()) {
    return;
  }
  // Keep the callback alive until the handle is out of the multi handle: it may
  // own |easy|.
  TransferDone done = std::move(it->second);
  transfers_.erase(it);
  curl_multi_remove_handle(multi_, easy);
}

uint64_t NetworkThread::PostDelayedTask(std::chrono::milliseconds delay, Task task) {
  const uint64_t id = next_delayed_id_++;
  delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(id, std::move(task)));
  return id;
}

void NetworkThread::CancelDelayedTask(uint64_t id) {
  for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
    if (it->second.first == id) {
      Task task = std::move(it->second.second);
      delayed_.erase(it);
      return;  // |task| is destroyed after the map is consistent again
    }
  }
}

void NetworkThread::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (quit_) {
      return;
    }
    quit_ = true;
  }
  Wake();
  if (IsCurrent()) {
    // The process is exiting from inside a notification: this thread never
    // returns to the loop.
    thread_.detach();
    return;
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool NetworkThread::Quitting() {
  std::lock_guard<std::mutex> lock(mu_);
  return quit_;
}

void NetworkThread::Run() {
  while (!Quitting()) {
    RunPostedTasks();
    if (Quitting()) {
      break;
    }
    if (multi_ == nullptr) {
      // Without a multi handle only tasks and delayed tasks can run (transfers
      // fail at once).
      RunDueDelayedTasks();
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait_for(lock, std::chrono::milliseconds(PollTimeoutMsLocked()),
                     [this] { return quit_ || !tasks_.empty(); });
      continue;
    }
    int running = 0;
    curl_multi_perform(multi_, &running);
    DrainSoon();
    ProcessFinishedTransfers();
    RunDueDelayedTasks();
    if (Quitting()) {
      break;
    }
    curl_multi_poll(multi_, nullptr, 0, PollTimeoutMs(), nullptr);
  }
  // Transfers, tasks and delayed tasks still pending are abandoned where they
  // are: no notification runs during exit, and nothing they own is torn down
  // under other threads.
  BASE_LOG(base::log::kLevelNote) << "network thread stopped";
}

void NetworkThread::DrainSoon() {
  while (!soon_.empty()) {
    Task task = std::move(soon_.front());
    soon_.pop_front();
    task();
  }
}

void NetworkThread::RunPostedTasks() {
  std::deque<Task> tasks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks.swap(tasks_);
  }
  while (!tasks.empty()) {
    if (Quitting()) {
      // Keep the rest, unrun, with the tasks posted after quit.
      std::lock_guard<std::mutex> lock(mu_);
      for (Task& task : tasks) {
        tasks_.push_back(std::move(task));
      }
      return;
    }
    Task task = std::move(tasks.front());
    tasks.pop_front();
    task();
    DrainSoon();
  }
}

void NetworkThread::RunDueDelayedTasks() {
  const auto now = std::chrono::steady_clock::now();
  while (!delayed_.empty() && delayed_.begin()->first <= now && !Quitting()) {
    Task task = std::move(delayed_.begin()->second.second);
    delayed_.erase(delayed_.begin());
    task();
    DrainSoon();
  }
}

void NetworkThread::ProcessFinishedTransfers() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    auto it = transfers_.find(easy);
    if (it == transfers_.end()) {
      continue;
    }
    TransferDone done = std::move(it->second);
    transfers_.erase(it);
    curl_multi_remove_handle(multi_, easy);
    // |done| may add, remove or free transfers (including |easy|); the message
    // pointer is not used after this point.
    done(result);
    DrainSoon();
  }
}

int NetworkThread::PollTimeoutMsLocked() {
  long timeout = kMaxPollMs;
  if (multi_ != nullptr) {
    long curl_timeout = -1;
    curl_multi_timeout(multi_, &curl_timeout);
    if (curl_timeout >= 0) {
      timeout = std::min<long>(curl_timeout, timeout);
    }
  }
  if (!delayed_.empty()) {
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(
                           delayed_.begin()->first - std::chrono::steady_clock::now())
                           .count();
    timeout = std::min<long>(timeout, std::max<long>(0, until));
  }
  if (!tasks_.empty() || quit_) {
    timeout = 0;
  }
  return static_cast<int>(timeout);
}

int NetworkThread::PollTimeoutMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return PollTimeoutMsLocked();
}

}  // namespace tavorisdk::internal
