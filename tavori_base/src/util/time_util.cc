#include "util/time/time_util.h"

#include <atomic>
#include <chrono>

namespace util::time {
namespace {
std::atomic<int64_t> g_offset_ms{0};
}  // namespace

uint64_t GetServerTimestamp(int clock_type) {
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() +
                         g_offset_ms.load(std::memory_order_relaxed);
  const uint64_t ms = now_ms > 0 ? static_cast<uint64_t>(now_ms) : 0;
  return clock_type == kClockSeconds ? ms / 1000 : ms;
}

void SetServerTimeOffset(int64_t offset_ms) {
  g_offset_ms.store(offset_ms, std::memory_order_relaxed);
}

int64_t GetServerTimeOffset() { return g_offset_ms.load(std::memory_order_relaxed); }

}  // namespace util::time
