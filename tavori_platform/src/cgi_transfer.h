// What the CGI service (cgi_service.cc) shares with the backend that carries its requests
// (cgi_transfer_curl.cc on libcurl, cgi_transfer_win.cc on WinHTTP): the settings of one send,
// the core that a request shares with its transfers, and the rules for retries, answers and
// the servers' clock.
//
// Threads: CgiCore's gate is thread-safe; its transfer list and everything a CgiTransfer does
// belong to the network thread.

#ifndef TAVORI_PLATFORM_SRC_CGI_TRANSFER_H_
#define TAVORI_PLATFORM_SRC_CGI_TRANSFER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/delivery_gate.h"
#include "tavorisdk/cgi_service.h"

namespace tavorisdk::internal {

inline constexpr int kDefaultCgiTimeoutSeconds = 30;
inline constexpr size_t kDefaultCgiMaxResponseBytes = 4 * 1024 * 1024;
// Retries of a transient failure per send (unless kCGIOptionNoRetry).
inline constexpr int kMaxCgiRetries = 2;

// The settings of one send, copied from the request when it is sent.
struct CgiConfig {
  std::string url;
  int options = 0;
  int timeout_seconds = kDefaultCgiTimeoutSeconds;
  std::vector<std::string> headers;  // "Name: value"
  size_t max_response_bytes = kDefaultCgiMaxResponseBytes;
};

// One send of a request, with its retries, on the backend's HTTP stack.  Network thread only;
// owned by its core's list until it has answered or was cancelled.
class CgiTransfer {
 public:
  virtual ~CgiTransfer() = default;
  virtual void Begin() = 0;
  // Stops the transfer without an answer.
  virtual void Cancel() = 0;
};

// Shared by a request and its transfers.
struct CgiCore {
  DeliveryGate gate;
  std::vector<std::shared_ptr<CgiTransfer>> transfers;  // network thread only

  // Cancels every transfer in the list; no answer follows.
  void CancelAll();
  // Delivers an answer of |transfer| (|body| null when no HTTP response came) after taking it
  // out of the list, since the delegate may destroy the request or send it again; the
  // transfer (and even the core) may be gone when this returns.
  void Answer(CgiTransfer* transfer, ICGIResponseDelegate* delegate, ICGIRequest* request,
              int32_t status, const std::string* body);
};

// The backend's transfer.
std::shared_ptr<CgiTransfer> NewCgiTransfer(CgiCore* core, CgiConfig config,
                                            ICGIResponseDelegate* delegate, ICGIRequest* request);

// Whether a failure classed |transient| may be tried again after |retries| retries.
bool MayRetryCgi(const CgiConfig& config, int retries, bool transient);

// The delay before the next attempt after a failure classed |transient|, or nothing when the
// failure is the answer: no retries left, or the retry would start after |deadline|.
std::optional<std::chrono::milliseconds> CgiRetryDelay(
    const CgiConfig& config, int retries, bool transient,
    std::chrono::steady_clock::time_point deadline);

// Stores the servers' clock offset from an answer's Date header value, when it is a valid one.
void RecordServerDate(std::string_view date);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_CGI_TRANSFER_H_
