// The CGI service: one HTTP request to a service endpoint, answered once,
// asynchronously.
//
// Threads: every answer is delivered on the SDK's network thread.  All calls
// below may be made from any thread, including from inside an answer.
// SendRequest and the setters never block on the network thread and never call
// a delegate synchronously.
//
// Lifetime: the caller owns each ICGIRequest.  Destroying a request that has
// not been answered cancels it: no answer follows.  When the destructor
// returns, no answer for the request is running (it waits for one that is being
// delivered on the network thread, unless it is called from inside that very
// answer).
//
// The answer's status is the HTTP status of the final response (after
// redirects), with the body as received.  A request that got no HTTP response
// is answered with one of the kCGIStatus* values below, all negative, and no
// body.

#ifndef TAVORISDK_CGI_SERVICE_H_
#define TAVORISDK_CGI_SERVICE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace tavorisdk {

// Statuses of requests that got no HTTP response.  Stable values.
inline constexpr int32_t kCGIStatusNetworkError = -1;  // connect, DNS, proxy or reset
inline constexpr int32_t kCGIStatusTimeout = -2;       // connect or stall timeout
inline constexpr int32_t kCGIStatusTlsError = -3;      // TLS handshake or verification
inline constexpr int32_t kCGIStatusBadRequest = -4;    // no or malformed URL
inline constexpr int32_t kCGIStatusTooManyRedirects = -5;
inline constexpr int32_t kCGIStatusResponseTooLarge = -6;  // body above the response limit

// Options for ICGIRequestSettings::SetRequestOption, combinable.
inline constexpr int kCGIOptionNoRetry = 1;     // do not retry transient failures
inline constexpr int kCGIOptionNoCache = 2;     // ask every cache on the way for a fresh answer
inline constexpr int kCGIOptionCompressed = 4;  // accept a compressed answer (gzip, deflate)

class ICGIRequest;

// Settings of one request, obtained from ICGIRequest::SetRequestUrl and owned
// by the request.
class ICGIRequestSettings {
 public:
  // Slot 0: sets the kCGIOption* bits.
  virtual void SetRequestOption(int options) = 0;
  // Slot 1: total time allowed for the request, retries included (default 30
  // s).
  virtual void SetTimeoutSeconds(int seconds) = 0;
  // Slot 2: adds a request header.
  virtual void AddHeader(const char* name, const char* value) = 0;
  // Slot 3: answers with a longer body fail with kCGIStatusResponseTooLarge
  // (default 4 MiB).
  virtual void SetMaxResponseBytes(size_t bytes) = 0;

 protected:
  ~ICGIRequestSettings() = default;
};

class ICGIRequest {
 public:
  // Slot 0: destroys the request, cancelling it if it has not been answered.
  virtual ~ICGIRequest() = default;
  // Slot 1: sets the URL (copied) and returns this request's settings.
  virtual ICGIRequestSettings* SetRequestUrl(const char* url) = 0;
  // Slot 2: the URL set last.
  virtual std::string GetRequestUrl() const = 0;
};

// Receives the answer to a request.  Every entry is called on the network
// thread.
class ICGIResponseDelegate {
 public:
  // Slot 0: the request went out (after its connection was made).  Does nothing
  // by default.
  virtual void OnRequestSent(ICGIRequest* request) { (void)request; }
  // Slot 1: the answer, as received.  |body| is null when no HTTP response
  // came.
  virtual void OnRawResponse(ICGIRequest* request, int32_t status, const std::string* body) = 0;
  // Slot 2: a transient failure is being retried.  Does nothing by default.
  virtual void OnRequestRetry(ICGIRequest* request, int attempt) {
    (void)request;
    (void)attempt;
  }
  // Slot 3.
  virtual ~ICGIResponseDelegate() = default;
};

// A delegate that receives the answer as a T.  For T = std::string the raw
// entry passes its arguments unchanged to OnResponse.
template <typename T>
class ICGITypedResponseDelegate : public ICGIResponseDelegate {
 public:
  void OnRawResponse(ICGIRequest* request, int32_t status, const std::string* body) override {
    if constexpr (std::is_same_v<T, std::string>) {
      OnResponse(request, status, body);
    } else {
      T typed;
      const bool ok = body != nullptr && T::FromText(*body, &typed);
      OnResponse(request, status, ok ? &typed : nullptr);
    }
  }
  // Slot 4: the answer, with the payload as a T (null when there is none).
  virtual void OnResponse(ICGIRequest* request, int32_t status, const T* payload) = 0;
};

class ICGIService {
 public:
  // Slot 0: sends |request| (still owned by the caller) and returns at once;
  // |delegate| receives the answer later, exactly once unless the request is
  // destroyed first.  Returns 0, or kCGIStatusBadRequest when |request| or
  // |delegate| is null or not the SDK's.
  virtual int SendRequest(ICGIRequest* request, ICGIResponseDelegate* delegate) = 0;

 protected:
  ~ICGIService() = default;
};

// Creates a request; never null.
std::unique_ptr<ICGIRequest> CreateCGIRequest();

}  // namespace tavorisdk

// Stores the process's CGI service in |*service| (which the caller never
// releases) and returns 0; returns kCGIStatusBadRequest when |service| is null.
int QueryCGIService(tavorisdk::ICGIService** service);

#endif  // TAVORISDK_CGI_SERVICE_H_
