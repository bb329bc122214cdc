// Debug-build assertions for broken invariants: BASE_DCHECK(condition) reports the condition,
// its place and aborts when it is false; with NDEBUG it compiles to nothing and evaluates
// nothing.  Only for what this code itself guarantees; anything the network, the disk, the
// host or a file can cause is handled, never asserted.  Any thread.

#ifndef BASE_CHECK_H_
#define BASE_CHECK_H_

namespace base::internal {
// Logs the failed check and aborts the process.
[[noreturn]] void DcheckFailed(const char* file, int line, const char* condition);
}  // namespace base::internal

#if defined(NDEBUG)
#define BASE_DCHECK(condition) \
  do {                         \
  } while (false && (condition))
#else
#define BASE_DCHECK(condition)                                        \
  do {                                                                \
    if (!(condition)) {                                               \
      ::base::internal::DcheckFailed(__FILE__, __LINE__, #condition); \
    }                                                                 \
  } while (false)
#endif

#endif  // BASE_CHECK_H_
