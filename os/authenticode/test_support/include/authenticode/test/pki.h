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
  std::string CertDer() const;
};

struct CertOptions {
  // Subject attributes in order, by OpenSSL short name ("CN", "O", "OU", "emailAddress"). Values
  // are UTF-8 and not limited in length.
  std::vector<std::pair<std::string, std::string>> subject;
  bool ca = false;
  // Extended key usages by OpenSSL name ("codeSigning", "serverAuth", "timeStamping",
  // "anyExtendedKeyUsage"); empty: no extension.
  std::vector<std::string> extended_key_usage;
  bool extended_key_usage_critical = false;
  // Key usage in openssl.cnf syntax; empty: none.
  std::string key_usage;
  // An rfc822 subject alternative name; empty: none.
  std::string email_alternative_name;
  std::time_t not_before = 0;
  std::time_t not_after = 0;
  // EC P-256 unless set: RSA-2048, for digests that ECDSA signers cannot use (MD5).
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

// The PEM text of several certificates, in order.
std::string CertsPem(const std::vector<const Identity*>& identities);

}  // namespace authenticode::test

#endif  // AUTHENTICODE_TEST_PKI_H_
