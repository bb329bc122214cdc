// The PKCS#7 side of Authenticode: the SignedData of the primary signature, the
// SpcIndirectDataContent it signs and the image hash recorded there. Private to the component.

#ifndef AUTHENTICODE_SRC_SIGNED_DATA_H_
#define AUTHENTICODE_SRC_SIGNED_DATA_H_

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <span>
#include <vector>

#include "authenticode/authenticode.h"
#include "src/openssl_util.h"

namespace authenticode::internal {

// A parsed primary signature. The raw pointers point into |pkcs7| and live as long as it.
struct SignedData {
  Pkcs7Ptr pkcs7;
  // The one SignerInfo.
  PKCS7_SIGNER_INFO* signer_info = nullptr;
  // The signing certificate, found in the SignedData's certificates.
  X509* signer = nullptr;
  // The SpcIndirectDataContent's encoding without its outer tag and length: the bytes that the
  // signed messageDigest attribute covers.
  std::vector<uint8_t> signed_content;
  // The DigestInfo: the image hash's algorithm and value.
  const EVP_MD* image_digest_md = nullptr;
  std::vector<uint8_t> image_digest;
};

// Parses |der| (trailing zero padding allowed) and checks that it is an Authenticode signature of a
// PE image with exactly one signer whose certificate it carries.
VerifyResult ParseSignedData(std::span<const uint8_t> der, SignedData* out);

// Checks the signer's signature over the signed content (and the signed attributes), with the
// signing certificate's key. Does not judge the certificate.
VerifyResult CheckSignature(const SignedData& data);

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_SIGNED_DATA_H_
