#include "authenticode/test/pki.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>

namespace authenticode::test {
namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "test PKI: %s failed\n", what);
  ERR_print_errors_fp(stderr);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    Die(what);
  }
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(length));
  BIO_free(bio);
  return text;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  Check(extension != nullptr, value.c_str());
  Check(X509_add_ext(cert, extension, -1) == 1, "X509_add_ext");
  X509_EXTENSION_free(extension);
}

void AddSubjectEntry(X509_NAME* name, const std::string& field, const std::string& value) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
  const int length = static_cast<int>(value.size());
  // The string table limits some attributes (64 characters for a common name); tests need longer
  // ones too, so fall back to a plain UTF8String.
  if (X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8, bytes, length, -1, 0) == 1) {
    return;
  }
  ERR_clear_error();
  Check(
      X509_NAME_add_entry_by_txt(name, field.c_str(), V_ASN1_UTF8STRING, bytes, length, -1, 0) == 1,
      field.c_str());
}

CertOptions ValidFor(int days) {
  CertOptions options;
  const std::time_t now = std::time(nullptr);
  options.not_before = now - 1000 * 86400;
  options.not_after = now + static_cast<std::time_t>(days) * 86400;
  return options;
}

}  // namespace

std::string Identity::CertPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  Check(PEM_write_bio_X509(bio, cert.get()) == 1, "PEM_write_bio_X509");
  return BioText(bio);
}

std::string Identity::KeyPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  Check(PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
  return BioText(bio);
}

std::string Identity::CertDer() const {
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert.get(), &der);
  Check(length > 0, "i2d_X509");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

CertOptions CaOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(days);
  options.subject = {{"CN", common_name}};
  options.ca = true;
  options.key_usage = "critical,keyCertSign,cRLSign";
  return options;
}

CertOptions CodeSigningOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(days);
  options.subject = {{"CN", common_name}};
  options.key_usage = "critical,digitalSignature";
  options.extended_key_usage = {"codeSigning"};
  return options;
}

CertOptions TimeStampingOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(days);
  options.subject = {{"CN", common_name}};
  options.key_usage = "critical,digitalSignature";
  options.extended_key_usage = {"timeStamping"};
  options.extended_key_usage_critical = true;
  return options;
}

Identity CreateIdentity(const CertOptions& options, const Identity* issuer) {
  Identity identity;
  identity.key.reset(options.rsa_key ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), EVP_PKEY_free);
  Check(identity.key != nullptr, "key generation");
  identity.cert.reset(X509_new(), X509_free);
  X509* cert = identity.cert.get();
  Check(cert != nullptr && X509_set_version(cert, X509_VERSION_3) == 1, "X509_new");

  BIGNUM* serial = BN_new();
  Check(serial != nullptr && BN_rand(serial, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr,
        "serial");
  BN_free(serial);

  X509_NAME* subject = X509_NAME_new();
  for (const auto& [field, value] : options.subject) {
    AddSubjectEntry(subject, field, value);
  }
  Check(X509_set_subject_name(cert, subject) == 1, "subject");
  Check(X509_set_issuer_name(
            cert, issuer != nullptr ? X509_get_subject_name(issuer->cert.get()) : subject) == 1,
        "issuer");
  X509_NAME_free(subject);
  Check(ASN1_TIME_set(X509_getm_notBefore(cert), options.not_before) != nullptr &&
            ASN1_TIME_set(X509_getm_notAfter(cert), options.not_after) != nullptr,
        "validity");
  Check(X509_set_pubkey(cert, identity.key.get()) == 1, "X509_set_pubkey");

  X509* issuer_cert = issuer != nullptr ? issuer->cert.get() : cert;
  AddExtension(cert, issuer_cert, NID_basic_constraints,
               options.ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (!options.key_usage.empty()) {
    AddExtension(cert, issuer_cert, NID_key_usage, options.key_usage);
  }
  if (!options.extended_key_usage.empty()) {
    std::string value = options.extended_key_usage_critical ? "critical" : "";
    for (const std::string& usage : options.extended_key_usage) {
      value += (value.empty() ? "" : ",") + usage;
    }
    AddExtension(cert, issuer_cert, NID_ext_key_usage, value);
  }
  if (!options.email_alternative_name.empty()) {
    AddExtension(cert, issuer_cert, NID_subject_alt_name,
                 "email:" + options.email_alternative_name);
  }
  AddExtension(cert, issuer_cert, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) {
    AddExtension(cert, issuer_cert, NID_authority_key_identifier, "keyid:always");
  }
  EVP_PKEY* signing_key = issuer != nullptr ? issuer->key.get() : identity.key.get();
  Check(X509_sign(cert, signing_key, EVP_sha256()) > 0, "X509_sign");
  return identity;
}

std::string CertsPem(const std::vector<const Identity*>& identities) {
  std::string pem;
  for (const Identity* identity : identities) {
    pem += identity->CertPem();
  }
  return pem;
}

}  // namespace authenticode::test
