#include "src/retry_policy.h"

#include <algorithm>
#include <atomic>
#include <iterator>

namespace tavorisdk::internal {
namespace {

constexpr std::chrono::milliseconds kMaxRetryDelay{8000};
constexpr long kDefaultRetryBaseMs = 500;
// Past this many doublings the cap holds anyway; stops the shift from overflowing.
constexpr int kMaxRetryDoublings = 10;

constexpr long kTransientHttpStatuses[] = {408, 429, 502, 503, 504};

std::atomic<long> g_retry_base_ms{kDefaultRetryBaseMs};

}  // namespace

bool IsTransientHttpStatus(long status) {
  return std::find(std::begin(kTransientHttpStatuses), std::end(kTransientHttpStatuses), status) !=
         std::end(kTransientHttpStatuses);
}

std::chrono::milliseconds RetryDelay(int attempt) {
  const long base = g_retry_base_ms.load();
  const int shift = std::clamp(attempt - 1, 0, kMaxRetryDoublings);
  return std::min(std::chrono::milliseconds(base << shift), kMaxRetryDelay);
}

void SetRetryBaseDelayForTesting(std::chrono::milliseconds base) {
  g_retry_base_ms = static_cast<long>(base.count());
}

}  // namespace tavorisdk::internal
