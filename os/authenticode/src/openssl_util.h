// Owning pointers for the OpenSSL objects this component uses, and small helpers around them.
// Private to the component.

#ifndef AUTHENTICODE_SRC_OPENSSL_UTIL_H_
#define AUTHENTICODE_SRC_OPENSSL_UTIL_H_

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace authenticode::internal {

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7_free>>;
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, OpenSslDeleter<PKCS7_SIGNER_INFO_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpenSslDeleter<X509_SIG_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OpenSslDeleter<TS_TST_INFO_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, OpenSslDeleter<GENERAL_NAMES_free>>;

// A stack returned by PKCS7_get0_signers: the stack is ours, the certificates are not.
struct SignerStackDeleter {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using SignerStackPtr = std::unique_ptr<STACK_OF(X509), SignerStackDeleter>;

// The dotted text of |object| ("1.2.840.113549.1.9.6"); empty for null or oversized objects.
std::string OidText(const ASN1_OBJECT* object);

// The image-hash algorithms Authenticode signatures use: SHA-1 and SHA-2 (256, 384, 512). Null for
// anything else.
const EVP_MD* SupportedDigest(const ASN1_OBJECT* algorithm);

// The digest of |data| with |md|; empty on failure.
std::vector<uint8_t> Digest(const EVP_MD* md, std::span<const uint8_t> data);

// The instant |time| (UTCTime or GeneralizedTime) names, in seconds since the epoch.
std::optional<std::time_t> TimeFromAsn1(const ASN1_TIME* time);

// Checks |signer_info| of |pkcs7| against |content| hashed with |md| and |cert|'s public key: the
// messageDigest attribute when there are signed attributes, and the signature (over the signed
// attributes, or else over the content's digest). Judges neither |cert| nor the algorithms.
//
// Used instead of PKCS7_verify(), which consults the SignedData's whole digest-algorithm set and
// leaks its copy of the content when one of those algorithms is unknown (OpenSSL 3.0).
bool VerifySignerInfo(PKCS7* pkcs7, PKCS7_SIGNER_INFO* signer_info, X509* cert, const EVP_MD* md,
                      std::span<const uint8_t> content);

// The bytes of an ASN.1 string.
inline std::span<const uint8_t> Bytes(const ASN1_STRING* s) {
  return {ASN1_STRING_get0_data(s), static_cast<size_t>(ASN1_STRING_length(s))};
}

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_OPENSSL_UTIL_H_
