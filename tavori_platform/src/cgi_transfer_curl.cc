// CGI transfers on libcurl: one easy handle per send, driven by the network thread's multi
// handle (network_thread.h).  Network thread only, like every CgiTransfer.

#include "base/check.h"
#include "base/log/log.h"
#include "src/cgi_transfer.h"
#include "src/curl_common.h"
#include "src/http_headers.h"
#include "src/network_thread.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

class CurlCgiTransfer final : public CgiTransfer {
 public:
  CurlCgiTransfer(CgiCore* core, CgiConfig config, ICGIResponseDelegate* delegate,
                  ICGIRequest* request)
      : core_(core), config_(std::move(config)), delegate_(delegate), request_(request) {}
  ~CurlCgiTransfer() override {
    if (easy_ != nullptr) {
      NetworkThread::Get().RemoveTransfer(easy_);
      curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(header_list_);
  }
  CurlCgiTransfer(const CurlCgiTransfer&) = delete;
  CurlCgiTransfer& operator=(const CurlCgiTransfer&) = delete;

  void Begin() override;
  void Cancel() override;

 private:
  void StartAttempt();
  void OnDone(CURLcode code);
  // Stores the servers' clock offset from the answer's Date header, if it has a valid one.
  void RecordServerTime();
  void RetryOrAnswer(int32_t status, bool transient);
  // Delivers the answer and drops this transfer; |this| may be gone when it
  // returns.
  void Answer(int32_t status, const std::string* body) {
    core_->Answer(this, delegate_, request_, status, body);
  }

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
  if (IsTlsError(code)) {
    return kCGIStatusTlsError;
  }
  return kCGIStatusNetworkError;
}

void CurlCgiTransfer::Begin() {
  BASE_DCHECK(OnNetworkThread());
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

void CurlCgiTransfer::Cancel() {
  BASE_DCHECK(OnNetworkThread());
  if (retry_task_ != 0) {
    NetworkThread::Get().CancelDelayedTask(retry_task_);
    retry_task_ = 0;
  }
  if (easy_ != nullptr) {
    NetworkThread::Get().RemoveTransfer(easy_);
  }
}

void CurlCgiTransfer::StartAttempt() {
  retry_task_ = 0;
  const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (remaining.count() <= 0) {
    Answer(kCGIStatusTimeout, nullptr);
    return;
  }
  body_.clear();
  too_large_ = false;

  TransferOptions options;
  options.url = config_.url;
  options.connect_timeout_ms = std::min<long>(options.connect_timeout_ms, remaining.count());
  options.stall_timeout_s = 0;  // the total timeout bounds a CGI request
  options.total_timeout_ms = remaining.count();
  ApplyCommonOptions(easy_, options);
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_);
  if ((config_.options & kCGIOptionCompressed) != 0) {
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");
  }
  curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(config_.max_response_bytes));
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlCgiTransfer::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &CurlCgiTransfer::OnPrereq);
  curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
  NetworkThread::Get().AddTransfer(easy_, [this](CURLcode code) { OnDone(code); });
}

size_t CurlCgiTransfer::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<CurlCgiTransfer*>(self);
  const size_t bytes = size * count;
  if (transfer->body_.size() + bytes > transfer->config_.max_response_bytes) {
    transfer->too_large_ = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  transfer->body_.append(data, bytes);
  return bytes;
}

int CurlCgiTransfer::OnPrereq(void* self, char* /*conn_primary_ip*/, char* /*conn_local_ip*/,
                              int /*conn_primary_port*/, int /*conn_local_port*/) {
  auto* transfer = static_cast<CurlCgiTransfer*>(self);
  if (!transfer->sent_notified_) {
    transfer->sent_notified_ = true;
    // Inside a curl callback: the notification runs once curl has returned.
    NetworkThread::Get().RunSoon(
        [core = transfer->core_, delegate = transfer->delegate_, request = transfer->request_] {
          DeliverThrough(core->gate, [&] { delegate->OnRequestSent(request); });
        });
  }
  return CURL_PREREQFUNC_OK;
}

void CurlCgiTransfer::OnDone(CURLcode code) {
  if (code == CURLE_OK) {
    RecordServerTime();
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (IsTransientHttpStatus(status) && MayRetryCgi(config_, retries_, true)) {
      RetryOrAnswer(static_cast<int32_t>(status), true);
      return;
    }
    BASE_LOG(base::log::kLevelTrace) << "CGI answer " << status << ", " << body_.size() << " bytes";
    std::string body = std::move(body_);
    Answer(static_cast<int32_t>(status), &body);
    return;
  }
  BASE_LOG(base::log::kLevelRefused) << "CGI request failed: " << curl_easy_strerror(code);
  RetryOrAnswer(StatusForCurlError(code, too_large_), IsTransientCurlError(code) && !too_large_);
}

void CurlCgiTransfer::RecordServerTime() {
  curl_header* date = nullptr;
  // The last response's header: after redirects, the answer's own.
  if (curl_easy_header(easy_, "Date", 0, CURLH_HEADER, -1, &date) == CURLHE_OK) {
    RecordServerDate(date->value);
  }
}

void CurlCgiTransfer::RetryOrAnswer(int32_t status, bool transient) {
  const std::optional<std::chrono::milliseconds> delay =
      CgiRetryDelay(config_, retries_, transient, deadline_);
  if (!delay) {
    if (status > 0) {
      std::string body = std::move(body_);
      Answer(status, &body);
    } else {
      Answer(status, nullptr);
    }
    return;
  }
  ++retries_;
  DeliverThrough(core_->gate, [&] { delegate_->OnRequestRetry(request_, retries_); });
  if (core_->gate.closed()) {
    return;  // the request is being destroyed; its cancellation is on its way
  }
  retry_task_ = NetworkThread::Get().PostDelayedTask(*delay, [this] { StartAttempt(); });
}

}  // namespace

std::shared_ptr<CgiTransfer> NewCgiTransfer(CgiCore* core, CgiConfig config,
                                            ICGIResponseDelegate* delegate, ICGIRequest* request) {
  return std::make_shared<CurlCgiTransfer>(core, std::move(config), delegate, request);
}

}  // namespace tavorisdk::internal
