// The CGI service on the network thread.
//
// A CgiRequest (the caller's object) holds the settings and a shared CgiCore:
// the delivery gate and the transfers in flight.  SendRequest snapshots the
// settings into a CgiTransfer and posts it to the network thread, which owns it
// from then on (through the core's list).  Destroying the request closes the
// gate, then posts the cancellation of its transfers; the core lives until that
// task has run.
//
// The Date header of every answer tells how far the servers' clock is from the
// local one; the offset is stored for util::time::GetServerTimestamp.

#include "tavorisdk/cgi_service.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "base/log/log.h"
#include "src/curl_common.h"
#include "src/delivery_gate.h"
#include "src/http_headers.h"
#include "src/network_thread.h"
#include "util/time/time_util.h"

namespace tavorisdk {
namespace {

constexpr char kLogSource[] = "tavori_platform";

constexpr int kDefaultTimeoutSeconds = 30;
constexpr size_t kDefaultMaxResponseBytes = 4 * 1024 * 1024;
constexpr int kMaxRetries = 2;

using internal::NetworkThread;

// The settings of one send, copied from the request when it is sent.
struct CgiConfig {
  std::string url;
  int options = 0;
  int timeout_seconds = kDefaultTimeoutSeconds;
  std::vector<std::string> headers;  // "Name: value"
  size_t max_response_bytes = kDefaultMaxResponseBytes;
};

class CgiTransfer;

// Shared by a request and its transfers.  |gate| is thread-safe; |transfers| is
// network thread only.
struct CgiCore {
  internal::DeliveryGate gate;
  std::vector<std::shared_ptr<CgiTransfer>> transfers;
  void CancelAll();
};

// One send of a request, with its retries.  Network thread only; owned by its
// core's list until it has answered or was cancelled.
class CgiTransfer {
 public:
  CgiTransfer(CgiCore* core, CgiConfig config, ICGIResponseDelegate* delegate, ICGIRequest* request)
      : core_(core), config_(std::move(config)), delegate_(delegate), request_(request) {}
  ~CgiTransfer() {
    if (easy_ != nullptr) {
      NetworkThread::Get().RemoveTransfer(easy_);
      curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(header_list_);
  }
  CgiTransfer(const CgiTransfer&) = delete;
  CgiTransfer& operator=(const CgiTransfer&) = delete;

  void Begin();
  void Cancel();

 private:
  void StartAttempt();
  void OnDone(CURLcode code);
  // Stores the servers' clock offset from the answer's Date header, if it has a valid one.
  void RecordServerTime();
  void RetryOrAnswer(int32_t status, bool transient);
  // Delivers the answer and drops this transfer; |this| may be gone when it
  // returns.
  void Answer(int32_t status, const std::string* body);

  static size_t OnWrite(char* data, size_t size, size_t count, void* self);
  static int OnPrereq(void* self, char* /*conn_primary_ip*/, char* /*conn_local_ip*/,
                      int /*conn_primary_port*/, int /*conn_local_port*/);

  CgiCore* const core_;
  const CgiConfig config_;
  ICGIResponseDelegate* const delegate_;
  ICGIRequest* const request_;

  CURL* easy_ = nullptr;
  curl_slist* header_list_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
  int retries_ = 0;
  uint64_t retry_task_ = 0;
  bool sent_notified_ = false;
  bool too_large_ = false;
  std::string body_;
};

int32_t StatusForCurlError(CURLcode code, bool too_large) {
  if (too_large || code == CURLE_FILESIZE_EXCEEDED) {
    return kCGIStatusResponseTooLarge;
  }
  if (code == CURLE_OPERATION_TIMEDOUT) {
    return kCGIStatusTimeout;
  }
  if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) {
    return kCGIStatusBadRequest;
  }
  if (code == CURLE_TOO_MANY_REDIRECTS) {
    return kCGIStatusTooManyRedirects;
  }
  if (internal::IsTlsError(code)) {
    return kCGIStatusTlsError;
  }
  return kCGIStatusNetworkError;
}

void CgiCore::CancelAll() {
  // Destroying a transfer takes its handle out of the multi handle; no answer
  // follows.
  std::vector<std::shared_ptr<CgiTransfer>> cancelled;
  cancelled.swap(transfers);
  for (auto& transfer : cancelled) {
    transfer->Cancel();
  }
}

void CgiTransfer::Begin() {
  if (core_->gate.closed()) {
    return;
  }
  deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.timeout_seconds);
  if (config_.url.empty()) {
    BASE_LOG(base::log::kLevelRefused) << "CGI request without URL";
    Answer(kCGIStatusBadRequest, nullptr);
    return;
  }
  easy_ = curl_easy_init();
  if (easy_ == nullptr) {
    BASE_LOG(base::log::kLevelFailure) << "curl_easy_init failed";
    Answer(kCGIStatusNetworkError, nullptr);
    return;
  }
  for (const std::string& header : config_.headers) {
    header_list_ = curl_slist_append(header_list_, header.c_str());
  }
  if ((config_.options & kCGIOptionNoCache) != 0) {
    header_list_ = curl_slist_append(header_list_, "Cache-Control: no-cache");
    header_list_ = curl_slist_append(header_list_, "Pragma: no-cache");
  }
  StartAttempt();
}

void CgiTransfer::Cancel() {
  if (retry_task_ != 0) {
    NetworkThread::Get().CancelDelayedTask(retry_task_);
    retry_task_ = 0;
  }
  if (easy_ != nullptr) {
    NetworkThread::Get().RemoveTransfer(easy_);
  }
}

void CgiTransfer::StartAttempt() {
  retry_task_ = 0;
  const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (remaining.count() <= 0) {
    Answer(kCGIStatusTimeout, nullptr);
    return;
  }
  body_.clear();
  too_large_ = false;

  internal::TransferOptions options;
  options.url = config_.url;
  options.connect_timeout_ms = std::min<long>(options.connect_timeout_ms, remaining.count());
  options.stall_timeout_s = 0;  // the total timeout bounds a CGI request
  options.total_timeout_ms = remaining.count();
  internal::ApplyCommonOptions(easy_, options);
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_);
  if ((config_.options & kCGIOptionCompressed) != 0) {
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");
  }
  curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(config_.max_response_bytes));
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CgiTransfer::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &CgiTransfer::OnPrereq);
  curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
  NetworkThread::Get().AddTransfer(easy_, [this](CURLcode code) { OnDone(code); });
}

size_t CgiTransfer::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<CgiTransfer*>(self);
  const size_t bytes = size * count;
  if (transfer->body_.size() + bytes > transfer->config_.max_response_bytes) {
    transfer->too_large_ = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  transfer->body_.append(data, bytes);
  return bytes;
}

int CgiTransfer::OnPrereq(void* self, char* /*conn_primary_ip*/, char* /*conn_local_ip*/,
                          int /*conn_primary_port*/, int /*conn_local_port*/) {
  auto* transfer = static_cast<CgiTransfer*>(self);
  if (!transfer->sent_notified_) {
    transfer->sent_notified_ = true;
    // Inside a curl callback: the notification runs once curl has returned.
    NetworkThread::Get().RunSoon(
        [core = transfer->core_, delegate = transfer->delegate_, request = transfer->request_] {
          internal::DeliverThrough(core->gate, [&] { delegate->OnRequestSent(request); });
        });
  }
  return CURL_PREREQFUNC_OK;
}

void CgiTransfer::OnDone(CURLcode code) {
  if (code == CURLE_OK) {
    RecordServerTime();
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (internal::IsTransientHttpStatus(status) && retries_ < kMaxRetries &&
        (config_.options & kCGIOptionNoRetry) == 0) {
      RetryOrAnswer(static_cast<int32_t>(status), true);
      return;
    }
    BASE_LOG(base::log::kLevelTrace) << "CGI answer " << status << ", " << body_.size() << " bytes";
    std::string body = std::move(body_);
    Answer(static_cast<int32_t>(status), &body);
    return;
  }
  BASE_LOG(base::log::kLevelRefused) << "CGI request failed: " << curl_easy_strerror(code);
  RetryOrAnswer(StatusForCurlError(code, too_large_),
                internal::IsTransientCurlError(code) && !too_large_);
}

void CgiTransfer::RecordServerTime() {
  const int64_t local_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  curl_header* date = nullptr;
  // The last response's header: after redirects, the answer's own.
  if (curl_easy_header(easy_, "Date", 0, CURLH_HEADER, -1, &date) != CURLHE_OK) {
    return;
  }
  if (const std::optional<int64_t> server_ms = internal::ParseHttpDate(date->value)) {
    util::time::SetServerTimeOffset(*server_ms - local_ms);
  }
}

void CgiTransfer::RetryOrAnswer(int32_t status, bool transient) {
  const bool may_retry =
      transient && retries_ < kMaxRetries && (config_.options & kCGIOptionNoRetry) == 0;
  const auto delay = internal::RetryDelay(retries_ + 1);
  if (!may_retry || std::chrono::steady_clock::now() + delay >= deadline_) {
    if (status > 0) {
      std::string body = std::move(body_);
      Answer(status, &body);
    } else {
      Answer(status, nullptr);
    }
    return;
  }
  ++retries_;
  internal::DeliverThrough(core_->gate, [&] { delegate_->OnRequestRetry(request_, retries_); });
  if (core_->gate.closed()) {
    return;  // the request is being destroyed; its cancellation is on its way
  }
  retry_task_ = NetworkThread::Get().PostDelayedTask(delay, [this] { StartAttempt(); });
}

void CgiTransfer::Answer(int32_t status, const std::string* body) {
  // Leave the core's list first: the delegate may destroy the request
  // (cancelling what is still listed) or send it again.
  std::shared_ptr<CgiTransfer> self;
  auto it = std::find_if(core_->transfers.begin(), core_->transfers.end(),
                         [this](const auto& t) { return t.get() == this; });
  if (it != core_->transfers.end()) {
    self = std::move(*it);
    core_->transfers.erase(it);
  }
  internal::DeliverThrough(core_->gate, [&] { delegate_->OnRawResponse(request_, status, body); });
  // |self| goes here, which frees the handle; |core_| may already be gone.
}

// The caller's request object.  Setters and SetRequestUrl may run on any thread
// (mu_ guards the settings); the destructor cancels what is in flight.
class CgiRequest final : public ICGIRequest, public ICGIRequestSettings {
 public:
  CgiRequest() : core_(std::make_shared<CgiCore>()) {}
  ~CgiRequest() override {
    if (!sent_.load()) {
      return;  // nothing ever reached the network thread
    }
    NetworkThread& network = NetworkThread::Get();
    core_->gate.Close(network.IsCurrent());
    network.PostTask([core = std::move(core_)] { core->CancelAll(); });
  }

  ICGIRequestSettings* SetRequestUrl(const char* url) override {
    std::lock_guard<std::mutex> lock(mu_);
    config_.url = url != nullptr ? url : "";
    return this;
  }
  std::string GetRequestUrl() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return config_.url;
  }

  void SetRequestOption(int options) override {
    std::lock_guard<std::mutex> lock(mu_);
    config_.options = options;
  }
  void SetTimeoutSeconds(int seconds) override {
    std::lock_guard<std::mutex> lock(mu_);
    config_.timeout_seconds = seconds > 0 ? seconds : kDefaultTimeoutSeconds;
  }
  void AddHeader(const char* name, const char* value) override {
    if (name == nullptr || *name == '\0') {
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    config_.headers.push_back(std::string(name) + ": " + (value != nullptr ? value : ""));
  }
  void SetMaxResponseBytes(size_t bytes) override {
    std::lock_guard<std::mutex> lock(mu_);
    config_.max_response_bytes = bytes;
  }

  // Any thread.  Hands a copy of the settings to the network thread.
  void Send(ICGIResponseDelegate* delegate) {
    CgiConfig config;
    {
      std::lock_guard<std::mutex> lock(mu_);
      config = config_;
    }
    sent_ = true;
    NetworkThread::Get().PostTask(
        [core = core_, config = std::move(config), delegate, request = this]() mutable {
          if (core->gate.closed()) {
            return;
          }
          auto transfer =
              std::make_shared<CgiTransfer>(core.get(), std::move(config), delegate, request);
          core->transfers.push_back(transfer);
          transfer->Begin();
        });
  }

 private:
  mutable std::mutex mu_;
  CgiConfig config_;  // guarded by mu_
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
