#include "authenticode/test/pki.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace authenticode::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "test PKI: %s failed\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
  }
}

// Runs |write| on a memory BIO and returns what it wrote.
template <typename Write>
std::string Pem(Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  Check(bio != nullptr && write(bio) == 1, "PEM_write");
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
  Check(extension != nullptr && X509_add_ext(cert, extension, -1) == 1, value.c_str());
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

CertOptions ValidFor(const std::string& common_name, int days) {
  CertOptions options;
  options.subject = {{"CN", common_name}};
  const std::time_t now = std::time(nullptr);
  options.not_before = now - 1000 * 86400;
  options.not_after = now + static_cast<std::time_t>(days) * 86400;
  return options;
}

}  // namespace

std::string Identity::CertPem() const {
  return Pem([this](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
}

std::string Identity::KeyPem() const {
  return Pem([this](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

CertOptions CaOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(common_name, days);
  options.ca = true;
  options.key_usage = "critical,keyCertSign,cRLSign";
  return options;
}

CertOptions CodeSigningOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(common_name, days);
  options.key_usage = "critical,digitalSignature";
  options.extended_key_usage = {"codeSigning"};
  return options;
}

CertOptions TimeStampingOptions(const std::string& common_name, int days) {
  CertOptions options = ValidFor(common_name, days);
  options.key_usage = "critical,digitalSignature";
  options.extended_key_usage = {"critical", "timeStamping"};
  return options;
}

Identity CreateIdentity(const CertOptions& options, const Identity* issuer) {
  // Unique within the process, which is all that finding a certificate by issuer and serial needs.
  static std::atomic<int64_t> next_serial{1};
  Identity identity;
  identity.key.reset(options.rsa_key ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), EVP_PKEY_free);
  identity.cert.reset(X509_new(), X509_free);
  X509* cert = identity.cert.get();
  X509_NAME* subject = X509_get_subject_name(cert);
  Check(identity.key != nullptr && cert != nullptr && X509_set_version(cert, X509_VERSION_3) == 1 &&
            ASN1_INTEGER_set_int64(X509_get_serialNumber(cert), next_serial++) == 1,
        "X509_new");
  for (const auto& [field, value] : options.subject) {
    AddSubjectEntry(subject, field, value);
  }
  X509* issuer_cert = issuer != nullptr ? issuer->cert.get() : cert;
  Check(X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert)) == 1 &&
            ASN1_TIME_set(X509_getm_notBefore(cert), options.not_before) != nullptr &&
            ASN1_TIME_set(X509_getm_notAfter(cert), options.not_after) != nullptr &&
            X509_set_pubkey(cert, identity.key.get()) == 1,
        "certificate fields");
  AddExtension(cert, issuer_cert, NID_basic_constraints,
               options.ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (!options.key_usage.empty()) {
    AddExtension(cert, issuer_cert, NID_key_usage, options.key_usage);
  }
  if (!options.extended_key_usage.empty()) {
    std::string value;
    for (const std::string& usage : options.extended_key_usage) {
      value += (value.empty() ? "" : ",") + usage;
    }
    AddExtension(cert, issuer_cert, NID_ext_key_usage, value);
  }
  AddExtension(cert, issuer_cert, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) {
    AddExtension(cert, issuer_cert, NID_authority_key_identifier, "keyid:always");
  }
  EVP_PKEY* signing_key = issuer != nullptr ? issuer->key.get() : identity.key.get();
  Check(X509_sign(cert, signing_key, EVP_sha256()) > 0, "X509_sign");
  return identity;
}

}  // namespace authenticode::test
