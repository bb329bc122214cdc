// Test support: throwaway certificate authorities, signers and time-stamping authorities with EC
// P-256 keys, made in memory with OpenSSL. Nothing here is for production code.
//
// Plain functions and values; any thread.

#ifndef AUTHENTICODE_TEST_PKI_H_
#define AUTHENTICODE_TEST_PKI_H_

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace authenticode::test {

// A key pair and its certificate. Copies share the OpenSSL objects.
struct Identity {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;

  std::string CertPem() const;
  std::string KeyPem() const;
};

struct CertOptions {
  // Subject attributes in order, by OpenSSL short name ("CN", "O", "OU", "emailAddress"). Values
  // are UTF-8 and not limited in length.
  std::vector<std::pair<std::string, std::string>> subject;
  bool ca = false;
  // Extended key usages by OpenSSL name ("codeSigning", "serverAuth", "timeStamping",
  // "anyExtendedKeyUsage"), "critical" first to mark the extension critical; empty: none.
  std::vector<std::string> extended_key_usage;
  // Key usage in openssl.cnf syntax; empty: none.
  std::string key_usage;
  std::time_t not_before = 0;
  std::time_t not_after = 0;
  // EC P-256 unless set: RSA-2048, for verifiers that take no ECDSA signature (Wine's).
  bool rsa_key = false;
};

// Presets, valid from 1,000 days ago (so that timestamps in the past can be judged) until |days|
// days from now.
CertOptions CaOptions(const std::string& common_name, int days = 3650);
CertOptions CodeSigningOptions(const std::string& common_name, int days = 3650);
CertOptions TimeStampingOptions(const std::string& common_name, int days = 3650);

// A new key and a certificate for it, signed by |issuer| or, when null, self-signed. Aborts the
// process on OpenSSL failures (they mean the test itself is broken).
Identity CreateIdentity(const CertOptions& options, const Identity* issuer);

}  // namespace authenticode::test

#endif  // AUTHENTICODE_TEST_PKI_H_
