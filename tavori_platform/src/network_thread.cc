#include "src/network_thread.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>

#include "base/check.h"
#include "base/log/log.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// curl_multi_poll takes no "forever": the longest wait it accepts stands in for one (about 24
// days; the loop then simply waits again).  Every post and the quit wake the poll.
constexpr int kPollForeverMs = std::numeric_limits<int>::max();

std::atomic<NetworkThread*> g_network_thread{nullptr};

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

int EnsureHttpStackInit() { return EnsureCurlGlobalInit(); }

int CheckHttpStackFeatures() {
  static const int result = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || (info->features & CURL_VERSION_SSL) == 0) {
      BASE_LOG_FUNCTION(base::log::kLevelFailure, "InitBeforeStartupSDK")
          << "InitBeforeStartupSDK: libcurl has no TLS support";
      return kSdkErrorNoTls;
    }
    BASE_LOG_FUNCTION(base::log::kLevelTrace, "InitBeforeStartupSDK")
        << "InitBeforeStartupSDK: libcurl " << info->version << ", "
        << (info->ssl_version != nullptr ? info->ssl_version : "");
    return kSdkOk;
  }();
  return result;
}

bool PostNetworkTask(NetworkTask task) { return NetworkThread::Get().PostTask(std::move(task)); }
bool OnNetworkThread() { return NetworkThread::Get().IsCurrent(); }
void RunOnNetworkSoon(NetworkTask task) { NetworkThread::Get().RunSoon(std::move(task)); }
uint64_t PostDelayedNetworkTask(std::chrono::milliseconds delay, NetworkTask task) {
  return NetworkThread::Get().PostDelayedTask(delay, std::move(task));
}
void CancelDelayedNetworkTask(uint64_t id) { NetworkThread::Get().CancelDelayedTask(id); }

NetworkThread& NetworkThread::Get() {
  static NetworkThread* instance = [] {
    // A step of the file looper's exit handler, so that the network thread (which posts
    // hashing work to the file looper) always stops before the looper.
    RegisterExitStep(
        [] {
          if (NetworkThread* network = g_network_thread.load()) {
            network->Shutdown();
          }
        },
        [] {
          NetworkThread* network = g_network_thread.load();
          return network != nullptr && network->IsCurrent();
        });
    auto* created = new NetworkThread();
    g_network_thread = created;
    return created;
  }();
  return *instance;
}

NetworkThread::NetworkThread()
    : multi_(NewMultiHandle()),
      queue_(multi_ != nullptr ? [multi = multi_] { curl_multi_wakeup(multi); }
                               : std::function<void()>()) {
  thread_ = std::thread([this] {
    thread_id_ = std::this_thread::get_id();
    Run();
  });
  BASE_LOG(base::log::kLevelNote) << "network thread started";
}

bool NetworkThread::PostTask(Task task) { return queue_.Post(std::move(task)); }

void NetworkThread::RunSoon(Task task) {
  BASE_DCHECK(IsCurrent());
  queue_.RunSoon(std::move(task));
}

void NetworkThread::AddTransfer(CURL* easy, TransferDone done) {
  BASE_DCHECK(IsCurrent());
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
  BASE_DCHECK(IsCurrent());
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
  BASE_DCHECK(IsCurrent());
  return queue_.PostDelayed(delay, std::move(task));
}

void NetworkThread::CancelDelayedTask(uint64_t id) {
  BASE_DCHECK(IsCurrent());
  queue_.CancelDelayed(id);
}

void NetworkThread::Shutdown() {
  if (!queue_.Quit()) {
    return;
  }
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

void NetworkThread::Run() {
  while (!queue_.Quitting()) {
    queue_.RunPosted();
    if (queue_.Quitting()) {
      break;
    }
    if (multi_ == nullptr) {
      // Without a multi handle only tasks and delayed tasks can run (transfers
      // fail at once).
      queue_.RunDueDelayed();
      queue_.WaitForWork();
      continue;
    }
    int running = 0;
    curl_multi_perform(multi_, &running);
    queue_.DrainSoon();
    ProcessFinishedTransfers();
    queue_.RunDueDelayed();
    if (queue_.Quitting()) {
      break;
    }
    curl_multi_poll(multi_, nullptr, 0, PollTimeoutMs(), nullptr);
  }
  // Transfers, tasks and delayed tasks still pending are abandoned where they
  // are: no notification runs during exit, and nothing they own is torn down
  // under other threads.
  BASE_LOG(base::log::kLevelNote) << "network thread stopped";
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
    queue_.DrainSoon();
  }
}

int NetworkThread::PollTimeoutMs() {
  long timeout = kPollForeverMs;
  long curl_timeout = -1;  // curl's own timers: none when -1
  curl_multi_timeout(multi_, &curl_timeout);
  if (curl_timeout >= 0) {
    timeout = std::min<long>(curl_timeout, timeout);
  }
  const int queue_timeout = queue_.WaitMs();
  if (queue_timeout != TaskQueue::kWaitForever) {
    timeout = std::min<long>(queue_timeout, timeout);
  }
  return static_cast<int>(timeout);
}

}  // namespace tavorisdk::internal
