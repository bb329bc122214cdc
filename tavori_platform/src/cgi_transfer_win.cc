// CGI transfers on WinHTTP: one asynchronous request per attempt (winhttp_request.h), the total
// timeout as a delayed task of the network thread.  Network thread only, like every CgiTransfer;
// WinHTTP's reports reach it as tasks, so notifications go out directly.

#include <algorithm>
#include <optional>

#include "base/log/log.h"
#include "src/cgi_transfer.h"
#include "src/http_headers.h"
#include "src/retry_policy.h"
#include "src/sdk_runtime.h"
#include "src/winhttp_request.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";
constexpr long kDefaultConnectTimeoutMs = 15000;

int32_t StatusForWinHttpError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
      return kCGIStatusTimeout;
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return kCGIStatusBadRequest;
    case ERROR_WINHTTP_REDIRECT_FAILED:
      return kCGIStatusTooManyRedirects;
    default:
      return IsTlsWinHttpError(error) ? kCGIStatusTlsError : kCGIStatusNetworkError;
  }
}

class WinCgiTransfer final : public CgiTransfer, public WinHttpRequest::Client {
 public:
  WinCgiTransfer(CgiCore* core, CgiConfig config, ICGIResponseDelegate* delegate,
                 ICGIRequest* request)
      : core_(core), config_(std::move(config)), delegate_(delegate), request_(request) {}
  ~WinCgiTransfer() override { Cancel(); }
  WinCgiTransfer(const WinCgiTransfer&) = delete;
  WinCgiTransfer& operator=(const WinCgiTransfer&) = delete;

  void Begin() override {
    if (core_->gate.closed()) {
      return;
    }
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.timeout_seconds);
    if (config_.url.empty()) {
      BASE_LOG(base::log::kLevelRefused) << "CGI request without URL";
      Answer(kCGIStatusBadRequest, nullptr);
      return;
    }
    StartAttempt();
  }

  void Cancel() override {
    CancelTask(&retry_task_);
    CancelTask(&deadline_task_);
    if (http_) {
      http_->Close();
      http_.reset();
    }
  }

  void OnSent() override {
    if (!sent_notified_) {
      sent_notified_ = true;
      DeliverThrough(core_->gate, [&] { delegate_->OnRequestSent(request_); });
    }
  }

  void OnHeaders(DWORD status) override {
    status_ = static_cast<int32_t>(status);
    for (const std::string& line : http_->ResponseHeaders()) {
      if (HeaderNameIs(line, "Date")) {
        RecordServerDate(HeaderValue(line));
      }
    }
    http_->ReadMore();
  }

  void OnData(const char* data, size_t bytes) override {
    if (bytes == 0) {
      const int32_t status = status_;
      if (IsTransientHttpStatus(status) && MayRetryCgi(config_, retries_, true)) {
        RetryOrAnswer(status, true);
        return;
      }
      BASE_LOG(base::log::kLevelTrace)
          << "CGI answer " << status << ", " << body_.size() << " bytes";
      std::string body = std::move(body_);
      Answer(status, &body);
      return;
    }
    if (body_.size() + bytes > config_.max_response_bytes) {
      BASE_LOG(base::log::kLevelRefused)
          << "CGI answer above " << config_.max_response_bytes << " bytes";
      Answer(kCGIStatusResponseTooLarge, nullptr);
      return;
    }
    body_.append(data, bytes);
    http_->ReadMore();
  }

  void OnError(DWORD error) override {
    BASE_LOG(base::log::kLevelRefused) << "CGI request failed: WinHTTP error " << error;
    RetryOrAnswer(StatusForWinHttpError(error), IsTransientWinHttpError(error));
  }

 private:
  static void CancelTask(uint64_t* task) {
    if (*task != 0) {
      CancelDelayedNetworkTask(*task);
      *task = 0;
    }
  }

  void StartAttempt() {
    retry_task_ = 0;
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      Answer(kCGIStatusTimeout, nullptr);
      return;
    }
    body_.clear();
    status_ = 0;
    WinHttpRequestOptions options;
    options.url = config_.url;
    options.headers = config_.headers;
    if ((config_.options & kCGIOptionNoCache) != 0) {
      options.headers.emplace_back("Cache-Control: no-cache");
      options.headers.emplace_back("Pragma: no-cache");
    }
    options.decompress = (config_.options & kCGIOptionCompressed) != 0;
    options.connect_timeout_ms =
        static_cast<int>(std::min<long long>(kDefaultConnectTimeoutMs, remaining.count()));
    options.receive_timeout_ms = static_cast<int>(remaining.count());
    DWORD error = 0;
    http_ = WinHttpRequest::Start(options, this, &error);
    if (!http_) {
      BASE_LOG(base::log::kLevelRefused) << "CGI request not sent: WinHTTP error " << error;
      RetryOrAnswer(StatusForWinHttpError(error), IsTransientWinHttpError(error));
      return;
    }
    // The total time allowed, retries included, ends the attempt wherever it is.
    CancelTask(&deadline_task_);
    deadline_task_ = PostDelayedNetworkTask(remaining, [this] {
      deadline_task_ = 0;
      Answer(kCGIStatusTimeout, nullptr);
    });
  }

  void RetryOrAnswer(int32_t status, bool transient) {
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
    if (http_) {
      http_->Close();
      http_.reset();
    }
    ++retries_;
    DeliverThrough(core_->gate, [&] { delegate_->OnRequestRetry(request_, retries_); });
    if (core_->gate.closed()) {
      return;  // the request is being destroyed; its cancellation is on its way
    }
    retry_task_ = PostDelayedNetworkTask(*delay, [this] { StartAttempt(); });
  }

  // Ends the transfer and delivers its answer; |this| may be gone when it returns.
  void Answer(int32_t status, const std::string* body) {
    Cancel();
    core_->Answer(this, delegate_, request_, status, body);
  }

  CgiCore* const core_;
  const CgiConfig config_;
  ICGIResponseDelegate* const delegate_;
  ICGIRequest* const request_;

  std::shared_ptr<WinHttpRequest> http_;
  std::chrono::steady_clock::time_point deadline_;
  int retries_ = 0;
  uint64_t retry_task_ = 0;
  uint64_t deadline_task_ = 0;
  bool sent_notified_ = false;
  int32_t status_ = 0;
  std::string body_;
};

}  // namespace

std::shared_ptr<CgiTransfer> NewCgiTransfer(CgiCore* core, CgiConfig config,
                                            ICGIResponseDelegate* delegate, ICGIRequest* request) {
  return std::make_shared<WinCgiTransfer>(core, std::move(config), delegate, request);
}

}  // namespace tavorisdk::internal
