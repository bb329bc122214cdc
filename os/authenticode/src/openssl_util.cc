#include "src/openssl_util.h"

#include <openssl/objects.h>

#include <climits>

namespace authenticode::internal {

std::string OidText(const ASN1_OBJECT* object) {
  if (object == nullptr) {
    return {};
  }
  char buffer[128];
  const int length = OBJ_obj2txt(buffer, sizeof(buffer), object, /*no_name=*/1);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
    return {};
  }
  return std::string(buffer, static_cast<size_t>(length));
}

const EVP_MD* SupportedDigest(const ASN1_OBJECT* algorithm) {
  switch (OBJ_obj2nid(algorithm)) {
    case NID_sha1:
      return EVP_sha1();
    case NID_sha256:
      return EVP_sha256();
    case NID_sha384:
      return EVP_sha384();
    case NID_sha512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

std::vector<uint8_t> Digest(const EVP_MD* md, std::span<const uint8_t> data) {
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) != 1) {
    return {};
  }
  digest.resize(length);
  return digest;
}

std::optional<std::time_t> TimeFromAsn1(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_check(time) != 1 || ASN1_TIME_to_tm(time, &tm) != 1) {
    return std::nullopt;
  }
  const std::time_t seconds = timegm(&tm);
  if (seconds == static_cast<std::time_t>(-1)) {
    return std::nullopt;
  }
  return seconds;
}

bool VerifySignerInfo(PKCS7* pkcs7, PKCS7_SIGNER_INFO* signer_info, X509* cert, const EVP_MD* md,
                      std::span<const uint8_t> content) {
  if (content.size() > static_cast<size_t>(INT_MAX)) {
    return false;
  }
  // PKCS7_signatureVerify() takes the content as a digest BIO that has already seen it.
  BioPtr digest(BIO_new(BIO_f_md()));
  BIO* sink = BIO_new(BIO_s_null());
  if (digest == nullptr || sink == nullptr) {
    BIO_free(sink);
    return false;
  }
  BIO_push(digest.get(), sink);
  const int length = static_cast<int>(content.size());
  return BIO_set_md(digest.get(), md) == 1 &&
         (length == 0 || BIO_write(digest.get(), content.data(), length) == length) &&
         PKCS7_signatureVerify(digest.get(), pkcs7, signer_info, cert) == 1;
}

}  // namespace authenticode::internal
