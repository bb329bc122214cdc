// What every transfer of the SDK shares whatever HTTP stack carries it: the redirect limit, the
// statuses that say "try again later", and the retry schedule.  Pure functions; any thread.

#ifndef TAVORI_PLATFORM_SRC_RETRY_POLICY_H_
#define TAVORI_PLATFORM_SRC_RETRY_POLICY_H_

#include <chrono>

namespace tavorisdk::internal {

// Redirects followed per request, HTTP and HTTPS only.
inline constexpr long kMaxRedirects = 10;

// Request Timeout, Too Many Requests, Bad Gateway, Service Unavailable, Gateway Timeout.
bool IsTransientHttpStatus(long status);

// Delay before retry number |attempt| (1 for the first retry): doubles from the
// base delay, at most 8 s.
std::chrono::milliseconds RetryDelay(int attempt);
// Tests shorten the schedule; the default base is 500 ms.
void SetRetryBaseDelayForTesting(std::chrono::milliseconds base);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_RETRY_POLICY_H_
