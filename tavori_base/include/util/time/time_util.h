// The server timestamp: the current time as the update service's servers count it.
// Any thread.

#ifndef UTIL_TIME_TIME_UTIL_H_
#define UTIL_TIME_TIME_UTIL_H_

#include <cstdint>

namespace util::time {

// GetServerTimestamp's clock types.
inline constexpr int kClockSeconds = 0;       // seconds since the Unix epoch
inline constexpr int kClockMilliseconds = 1;  // milliseconds since the Unix epoch

// The system clock corrected by the offset last learned from a server (see
// SetServerTimeOffset), in the unit of |clock_type|.  Unknown clock types count milliseconds.
uint64_t GetServerTimestamp(int clock_type);

// Records how far the servers' clock is ahead of the local one, in milliseconds (negative when
// behind).  The platform SDK sets it from the Date header of each answer of its CGI service (the
// update check), to the second.
void SetServerTimeOffset(int64_t offset_ms);
int64_t GetServerTimeOffset();

}  // namespace util::time

#endif  // UTIL_TIME_TIME_UTIL_H_
