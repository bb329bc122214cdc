// What the component's own files reach inside a TrustStore: the OpenSSL store and the lock that
// chain building holds. Private to the Authenticode component.

#ifndef AUTHENTICODE_SRC_TRUST_STORE_H_
#define AUTHENTICODE_SRC_TRUST_STORE_H_

#include <openssl/x509_vfy.h>

#include <memory>
#include <mutex>

#include "authenticode/authenticode.h"

namespace authenticode {

// Owns the store. The store itself is immutable once loaded; |chain_mutex| is held while a chain
// is built against it: OpenSSL fills caches of the store's certificates while it builds chains,
// and those fills race when threads share one store.
struct TrustStore::State {
  explicit State(X509_STORE* store) : store(store) {}
  ~State() { X509_STORE_free(store); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  X509_STORE* const store;
  std::mutex chain_mutex;
};

struct TrustStoreAccess {
  // Takes ownership of |store|.
  static std::unique_ptr<TrustStore> Wrap(X509_STORE* store) {
    return std::unique_ptr<TrustStore>(new TrustStore(std::make_unique<TrustStore::State>(store)));
  }
  static X509_STORE* Store(const TrustStore& trust) { return trust.state_->store; }
  static std::mutex& ChainMutex(const TrustStore& trust) { return trust.state_->chain_mutex; }
};

}  // namespace authenticode

#endif  // AUTHENTICODE_SRC_TRUST_STORE_H_
