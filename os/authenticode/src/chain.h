// Judging a certificate chain: trust, validity at a given time, and the usages that code signing
// and timestamping demand. Private to the component.

#ifndef AUTHENTICODE_SRC_CHAIN_H_
#define AUTHENTICODE_SRC_CHAIN_H_

#include <openssl/x509.h>

#include <ctime>
#include <optional>

#include "authenticode/authenticode.h"

namespace authenticode::internal {

enum class Usage {
  // The leaf may sign code: an extended key usage extension, if any, names code signing, and a key
  // usage extension, if any, allows digital signatures.
  kCodeSigning,
  // The leaf is a time-stamping authority: its extended key usage names time stamping.
  kTimeStamping,
};

// Builds and checks the chain from |leaf| (helped by the |untrusted| certificates the signature
// carries) to a root of |trust| at time |at|, or now when absent. Any purpose is accepted for the
// chain itself; |usage| is then checked on the leaf, and on the intermediates when they restrict
// their extended key usage.
//
// kOk, kUntrustedChain, kCertificateExpired (some certificate is not valid at that time and the
// chain is otherwise sound) or kWrongKeyUsage.
VerifyResult VerifyChain(X509_STORE* trust, X509* leaf, STACK_OF(X509) * untrusted,
                         std::optional<std::time_t> at, Usage usage);

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_CHAIN_H_
