#include "src/timestamp.h"

#include <openssl/objects.h>
#include <openssl/ts.h>

#include <algorithm>

#include "src/chain.h"
#include "src/openssl_util.h"

namespace authenticode::internal {
namespace {

constexpr char kRfc3161TimestampOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kCountersignatureOid[] = "1.2.840.113549.1.9.6";
// Each candidate costs signature and chain checks; a signature needs one.
constexpr int kMaxCandidates = 8;

bool SameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// An RFC 3161 TimeStampToken: a SignedData over a TSTInfo whose message imprint is the hash of the
// primary signer's signature value.
std::optional<std::time_t> CheckTimeStampToken(const ASN1_TYPE* value, const SignedData& data,
                                               X509_STORE* trust, std::string* detail) {
  if (value->type != V_ASN1_SEQUENCE || value->value.sequence == nullptr) {
    *detail = "time-stamp token is not a sequence";
    return std::nullopt;
  }
  const std::span<const uint8_t> encoding = Bytes(value->value.sequence);
  const unsigned char* p = encoding.data();
  Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(encoding.size())));
  if (token == nullptr || p != encoding.data() + encoding.size() ||
      !PKCS7_type_is_signed(token.get()) || token->d.sign == nullptr) {
    *detail = "time-stamp token is not a SignedData";
    return std::nullopt;
  }
  // Checks the content type and decodes the TSTInfo.
  TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
  if (info == nullptr) {
    *detail = "time-stamp token holds no TSTInfo";
    return std::nullopt;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* signer_infos = PKCS7_get_signer_info(token.get());
  SignerStackPtr signers(PKCS7_get0_signers(token.get(), nullptr, 0));
  if (signer_infos == nullptr || sk_PKCS7_SIGNER_INFO_num(signer_infos) != 1 ||
      signers == nullptr || sk_X509_num(signers.get()) != 1) {
    *detail = "time-stamp token without exactly one signer and its certificate";
    return std::nullopt;
  }
  // PKCS7_to_TS_TST_INFO() has checked that the content is there, as an OCTET STRING.
  PKCS7_SIGNER_INFO* token_signer = sk_PKCS7_SIGNER_INFO_value(signer_infos, 0);
  X509* authority = sk_X509_value(signers.get(), 0);
  const EVP_MD* token_md = SupportedDigest(token_signer->digest_alg->algorithm);
  if (token_md == nullptr ||
      !VerifySignerInfo(token.get(), token_signer, authority, token_md,
                        Bytes(token->d.sign->contents->d.other->value.octet_string))) {
    *detail = "time-stamp signature does not verify";
    return std::nullopt;
  }
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const X509_ALGOR* imprint_algorithm = TS_MSG_IMPRINT_get_algo(imprint);
  const ASN1_OCTET_STRING* imprint_value = TS_MSG_IMPRINT_get_msg(imprint);
  const EVP_MD* md =
      imprint_algorithm != nullptr ? SupportedDigest(imprint_algorithm->algorithm) : nullptr;
  if (md == nullptr || imprint_value == nullptr ||
      !SameBytes(Digest(md, Bytes(data.signer_info->enc_digest)), Bytes(imprint_value))) {
    *detail = "time stamp does not cover this signature";
    return std::nullopt;
  }
  const std::optional<std::time_t> when = TimeFromAsn1(TS_TST_INFO_get_time(info.get()));
  if (!when.has_value()) {
    *detail = "bad time in time-stamp token";
    return std::nullopt;
  }
  const VerifyResult chain =
      VerifyChain(trust, authority, token->d.sign->cert, when, Usage::kTimeStamping);
  if (!chain.ok()) {
    *detail = "time-stamping authority: " + chain.detail;
    return std::nullopt;
  }
  return when;
}

// A PKCS#9 countersignature: a SignerInfo whose signed messageDigest is the hash of the primary
// signer's signature value and whose signingTime is the timestamp. Its certificate travels with the
// primary signature's certificates.
std::optional<std::time_t> CheckCountersignature(const ASN1_TYPE* value, const SignedData& data,
                                                 X509_STORE* trust, std::string* detail) {
  if (value->type != V_ASN1_SEQUENCE || value->value.sequence == nullptr) {
    *detail = "countersignature is not a sequence";
    return std::nullopt;
  }
  const std::span<const uint8_t> encoding = Bytes(value->value.sequence);
  const unsigned char* p = encoding.data();
  SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(encoding.size())));
  if (counter == nullptr || p != encoding.data() + encoding.size() ||
      counter->issuer_and_serial == nullptr || counter->digest_alg == nullptr) {
    *detail = "countersignature is not a SignerInfo";
    return std::nullopt;
  }
  const EVP_MD* md = SupportedDigest(counter->digest_alg->algorithm);
  X509* signer =
      X509_find_by_issuer_and_serial(data.pkcs7->d.sign->cert, counter->issuer_and_serial->issuer,
                                     counter->issuer_and_serial->serial);
  if (md == nullptr || signer == nullptr) {
    *detail = "countersignature algorithm or certificate missing";
    return std::nullopt;
  }
  if (!VerifySignerInfo(data.pkcs7.get(), counter.get(), signer, md,
                        Bytes(data.signer_info->enc_digest))) {
    *detail = "countersignature does not verify";
    return std::nullopt;
  }
  const ASN1_TYPE* signing_time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  std::optional<std::time_t> when;
  if (signing_time != nullptr &&
      (signing_time->type == V_ASN1_UTCTIME || signing_time->type == V_ASN1_GENERALIZEDTIME)) {
    when = TimeFromAsn1(signing_time->value.utctime);
  }
  if (!when.has_value()) {
    *detail = "countersignature without a signing time";
    return std::nullopt;
  }
  const VerifyResult chain =
      VerifyChain(trust, signer, data.pkcs7->d.sign->cert, when, Usage::kTimeStamping);
  if (!chain.ok()) {
    *detail = "countersigner: " + chain.detail;
    return std::nullopt;
  }
  return when;
}

}  // namespace

std::optional<std::time_t> FindValidTimestamp(const SignedData& data, X509_STORE* trust,
                                              std::string* detail) {
  *detail = "no timestamp";
  const STACK_OF(X509_ATTRIBUTE)* attributes = data.signer_info->unauth_attr;
  int candidates = 0;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    const std::string oid = OidText(X509_ATTRIBUTE_get0_object(attribute));
    const bool rfc3161 = oid == kRfc3161TimestampOid;
    if (!rfc3161 && oid != kCountersignatureOid) {
      continue;
    }
    for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j) {
      if (++candidates > kMaxCandidates) {
        *detail = "too many timestamps";
        return std::nullopt;
      }
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, j);
      if (value == nullptr) {
        continue;
      }
      const std::optional<std::time_t> when =
          rfc3161 ? CheckTimeStampToken(value, data, trust, detail)
                  : CheckCountersignature(value, data, trust, detail);
      if (when.has_value()) {
        return when;
      }
    }
  }
  return std::nullopt;
}

}  // namespace authenticode::internal
