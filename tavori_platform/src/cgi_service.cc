// The CGI service on the network thread.
//
// A CgiRequest (the caller's object) holds the settings and a shared CgiCore:
// the delivery gate and the transfers in flight.  SendRequest snapshots the
// settings into the backend's CgiTransfer (cgi_transfer.h) and posts it to the
// network thread, which owns it from then on (through the core's list).  Destroying the request
// closes the gate, then posts the cancellation of its transfers; the core lives until that task has
// run.
//
// The Date header of every answer tells how far the servers' clock is from the
// local one; the offset is stored for util::time::GetServerTimestamp.

#include "tavorisdk/cgi_service.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "base/check.h"
#include "base/log/log.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "src/cgi_transfer.h"
#include "src/http_headers.h"
#include "src/retry_policy.h"
#include "src/sdk_runtime.h"
#include "util/time/time_util.h"

namespace tavorisdk {
namespace internal {

void CgiCore::CancelAll() {
  BASE_DCHECK(OnNetworkThread());
  // A cancelled transfer is off the network; no answer follows.
  std::vector<std::shared_ptr<CgiTransfer>> cancelled;
  cancelled.swap(transfers);
  for (auto& transfer : cancelled) {
    transfer->Cancel();
  }
}

void CgiCore::Answer(CgiTransfer* transfer, ICGIResponseDelegate* delegate, ICGIRequest* request,
                     int32_t status, const std::string* body) {
  BASE_DCHECK(OnNetworkThread());
  std::shared_ptr<CgiTransfer> self;
  auto it = std::find_if(transfers.begin(), transfers.end(),
                         [transfer](const auto& t) { return t.get() == transfer; });
  if (it != transfers.end()) {
    self = std::move(*it);
    transfers.erase(it);
  }
  DeliverThrough(gate, [&] { delegate->OnRawResponse(request, status, body); });
  // |self| goes here, which frees the transfer; |this| may already be gone.
}

bool MayRetryCgi(const CgiConfig& config, int retries, bool transient) {
  return transient && retries < kMaxCgiRetries && (config.options & kCGIOptionNoRetry) == 0;
}

std::optional<std::chrono::milliseconds> CgiRetryDelay(
    const CgiConfig& config, int retries, bool transient,
    std::chrono::steady_clock::time_point deadline) {
  const std::chrono::milliseconds delay = RetryDelay(retries + 1);
  if (!MayRetryCgi(config, retries, transient) ||
      std::chrono::steady_clock::now() + delay >= deadline) {
    return std::nullopt;
  }
  return delay;
}

void RecordServerDate(std::string_view date) {
  const int64_t local_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  if (const std::optional<int64_t> server_ms = ParseHttpDate(date)) {
    util::time::SetServerTimeOffset(*server_ms - local_ms);
  }
}

}  // namespace internal

namespace {

using internal::CgiConfig;
using internal::CgiCore;

constexpr char kLogSource[] = "tavori_platform";

// The caller's request object.  Setters and SetRequestUrl may run on any thread
// (mu_ guards the settings); the destructor cancels what is in flight.
class CgiRequest final : public ICGIRequest, public ICGIRequestSettings {
 public:
  CgiRequest() : core_(std::make_shared<CgiCore>()) {}
  ~CgiRequest() override {
    if (!sent_.load()) {
      return;  // nothing ever reached the network thread
    }
    core_->gate.Close(internal::OnNetworkThread());
    internal::PostNetworkTask([core = std::move(core_)] { core->CancelAll(); });
  }

  ICGIRequestSettings* SetRequestUrl(const char* url) override {
    base::AutoLock lock(mu_);
    config_.url = url != nullptr ? url : "";
    return this;
  }
  std::string GetRequestUrl() const override {
    base::AutoLock lock(mu_);
    return config_.url;
  }

  void SetRequestOption(int options) override {
    base::AutoLock lock(mu_);
    config_.options = options;
  }
  void SetTimeoutSeconds(int seconds) override {
    base::AutoLock lock(mu_);
    config_.timeout_seconds = seconds > 0 ? seconds : internal::kDefaultCgiTimeoutSeconds;
  }
  void AddHeader(const char* name, const char* value) override {
    if (name == nullptr || *name == '\0') {
      return;
    }
    base::AutoLock lock(mu_);
    config_.headers.push_back(std::string(name) + ": " + (value != nullptr ? value : ""));
  }
  void SetMaxResponseBytes(size_t bytes) override {
    base::AutoLock lock(mu_);
    config_.max_response_bytes = bytes;
  }

  // Any thread.  Hands a copy of the settings to the network thread.
  void Send(ICGIResponseDelegate* delegate) {
    CgiConfig config;
    {
      base::AutoLock lock(mu_);
      config = config_;
    }
    sent_ = true;
    internal::PostNetworkTask([core = core_, config = std::move(config), delegate,
                               request = this]() mutable {
      if (core->gate.closed()) {
        return;
      }
      auto transfer = internal::NewCgiTransfer(core.get(), std::move(config), delegate, request);
      core->transfers.push_back(transfer);
      transfer->Begin();
    });
  }

 private:
  mutable base::Lock mu_;
  CgiConfig config_ GUARDED_BY(mu_);
  std::atomic<bool> sent_{false};
  std::shared_ptr<CgiCore> core_;
};

class CgiService final : public ICGIService {
 public:
  int SendRequest(ICGIRequest* request, ICGIResponseDelegate* delegate) override {
    auto* ours = dynamic_cast<CgiRequest*>(request);
    if (ours == nullptr || delegate == nullptr) {
      BASE_LOG(base::log::kLevelRefused) << "SendRequest: no request or no delegate";
      return kCGIStatusBadRequest;
    }
    ours->Send(delegate);
    return 0;
  }

 protected:
  // Never destroyed: QueryCGIService hands out one instance for the rest of the process.
  ~CgiService() = default;
};

}  // namespace

std::unique_ptr<ICGIRequest> CreateCGIRequest() { return std::make_unique<CgiRequest>(); }

}  // namespace tavorisdk

int QueryCGIService(tavorisdk::ICGIService** service) {
  if (service == nullptr) {
    return tavorisdk::kCGIStatusBadRequest;
  }
  static auto* instance = new tavorisdk::CgiService();
  *service = instance;
  return 0;
}
