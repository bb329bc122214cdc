// Keeps OpenSSL's per-thread error queue as the caller left it. Private to the component.

#ifndef AUTHENTICODE_SRC_ERROR_SCOPE_H_
#define AUTHENTICODE_SRC_ERROR_SCOPE_H_

#include <openssl/err.h>

namespace authenticode::internal {

// Errors that OpenSSL queues while an instance lives are ours to interpret (as statuses) and are
// dropped when it goes; entries queued before stay. Lives on one thread, in one scope.
class ErrorScope {
 public:
  ErrorScope() { ERR_set_mark(); }
  ~ErrorScope() { ERR_pop_to_mark(); }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;
};

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_ERROR_SCOPE_H_
