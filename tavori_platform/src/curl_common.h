// What the CGI and download services share on top of libcurl: the options every
// transfer gets and the classification of curl's failures (the retry schedule and
// the transient statuses are retry_policy.h's, shared with the WinHTTP backend).
// Network thread (the functions that take an easy handle); the rest are pure
// and may run anywhere.

#ifndef TAVORI_PLATFORM_SRC_CURL_COMMON_H_
#define TAVORI_PLATFORM_SRC_CURL_COMMON_H_

#include <curl/curl.h>

#include <string>

#include "src/retry_policy.h"
#include "src/sdk_runtime.h"

namespace tavorisdk::internal {

// Options of one transfer that the start-up record or the request decide.
struct TransferOptions {
  std::string url;
  std::string user_agent;  // empty: the SDK's default
  long connect_timeout_ms = 15000;
  long stall_timeout_s = 30;  // no byte for this long: the transfer has stalled
  long total_timeout_ms = 0;  // 0: none
};

// Resets |easy| and applies what every transfer of the SDK uses: redirects
// followed (HTTP and HTTPS only, at most 10), TLS verified against the system
// store or the start-up record's bundle, proxies from the environment
// (libcurl's default), keep-alive, the timeouts and the User-Agent.
void ApplyCommonOptions(CURL* easy, const TransferOptions& options);

// Failures that another attempt may cure: refused or reset connections,
// timeouts, bodies cut short.
bool IsTransientCurlError(CURLcode code);
bool IsTlsError(CURLcode code);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_CURL_COMMON_H_
