#include "src/chain.h"

#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <string>

#include "src/openssl_util.h"
#include "src/outcome.h"

namespace authenticode::internal {
namespace {

bool IsTimeError(int error) {
  return error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID ||
         error == X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD ||
         error == X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD;
}

uint32_t RequiredExtendedUsage(Usage usage) {
  return usage == Usage::kCodeSigning ? XKU_CODE_SIGN : XKU_TIMESTAMP;
}

bool HasExtendedUsageExtension(X509* cert) {
  return (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) != 0;
}

VerifyResult CheckUsage(STACK_OF(X509) * chain, Usage usage) {
  const int count = sk_X509_num(chain);
  if (count < 1) {
    return Fail(Status::kUntrustedChain, "empty chain");
  }
  const uint32_t required = RequiredExtendedUsage(usage);
  X509* leaf = sk_X509_value(chain, 0);
  // X509_get_extended_key_usage() reports every usage when the extension is absent.
  const uint32_t leaf_usage = X509_get_extended_key_usage(leaf);
  if (usage == Usage::kTimeStamping && !HasExtendedUsageExtension(leaf)) {
    return Fail(Status::kWrongKeyUsage, "time-stamping certificate without extended key usage");
  }
  if ((leaf_usage & required) == 0) {
    return Fail(Status::kWrongKeyUsage, usage == Usage::kCodeSigning
                                            ? "certificate not for code signing"
                                            : "certificate not for time stamping");
  }
  if ((X509_get_extension_flags(leaf) & EXFLAG_KUSAGE) != 0 &&
      (X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE) == 0) {
    return Fail(Status::kWrongKeyUsage, "certificate key usage excludes digital signatures");
  }
  // An intermediate that restricts its extended key usage passes its restriction down. The root is
  // the trust store's and is taken as it is.
  for (int i = 1; i + 1 < count; ++i) {
    X509* ca = sk_X509_value(chain, i);
    const uint32_t ca_usage = X509_get_extended_key_usage(ca);
    if ((ca_usage & (required | XKU_ANYEKU)) == 0) {
      return Fail(Status::kWrongKeyUsage, "intermediate certificate excludes the usage");
    }
  }
  return Passed();
}

}  // namespace

VerifyResult VerifyChain(X509_STORE* trust, X509* leaf, STACK_OF(X509) * untrusted,
                         std::optional<std::time_t> at, Usage usage) {
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  if (context == nullptr || X509_STORE_CTX_init(context.get(), trust, leaf, untrusted) != 1) {
    return Fail(Status::kUntrustedChain, "cannot set up chain verification");
  }
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  // OpenSSL has no code-signing purpose; the usages are checked below instead.
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_ANY);
  if (at.has_value()) {
    X509_VERIFY_PARAM_set_time(param, *at);
  }
  if (X509_verify_cert(context.get()) != 1) {
    const int error = X509_STORE_CTX_get_error(context.get());
    const std::string reason = X509_verify_cert_error_string(error);
    return Fail(IsTimeError(error) ? Status::kCertificateExpired : Status::kUntrustedChain, reason);
  }
  return CheckUsage(X509_STORE_CTX_get0_chain(context.get()), usage);
}

}  // namespace authenticode::internal
