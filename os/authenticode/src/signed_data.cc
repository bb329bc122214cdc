#include "src/signed_data.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>

#include "src/outcome.h"

namespace authenticode::internal {
namespace {

constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kSpcPeImageDataOid[] = "1.3.6.1.4.1.311.2.1.15";

// One DER element: its whole encoding and its contents.
struct Element {
  int tag = 0;
  int tag_class = 0;
  bool constructed = false;
  std::span<const uint8_t> whole;
  std::span<const uint8_t> contents;
};

// Takes the next element off the front of |in|. False for bad encodings, lengths beyond |in| and
// indefinite lengths (not DER).
bool TakeElement(std::span<const uint8_t>* in, Element* out) {
  if (in->empty()) {
    return false;
  }
  const unsigned char* p = in->data();
  long length = 0;
  const int flags =
      ASN1_get_object(&p, &length, &out->tag, &out->tag_class, static_cast<long>(in->size()));
  if ((flags & 0x80) != 0 || (flags & 0x01) != 0 || length < 0) {
    return false;
  }
  const auto header = static_cast<size_t>(p - in->data());
  if (header > in->size() || static_cast<size_t>(length) > in->size() - header) {
    return false;
  }
  out->constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
  out->contents = in->subspan(header, static_cast<size_t>(length));
  out->whole = in->first(header + static_cast<size_t>(length));
  *in = in->subspan(out->whole.size());
  return true;
}

bool TakeSequence(std::span<const uint8_t>* in, Element* out) {
  return TakeElement(in, out) && out->tag == V_ASN1_SEQUENCE &&
         out->tag_class == V_ASN1_UNIVERSAL && out->constructed;
}

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// SpcIndirectDataContent ::= SEQUENCE {
//   data          SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OID,
//   value ANY OPTIONAL }, messageDigest DigestInfo }
VerifyResult ParseIndirectData(std::span<const uint8_t> encoding, SignedData* out) {
  Element outer;
  if (!TakeSequence(&encoding, &outer) || !encoding.empty()) {
    return Fail(Status::kMalformedSignature, "SpcIndirectDataContent is not a sequence");
  }
  std::span<const uint8_t> body = outer.contents;
  Element data;
  Element digest_info;
  if (!TakeSequence(&body, &data) || !TakeSequence(&body, &digest_info) || !body.empty()) {
    return Fail(Status::kMalformedSignature, "bad SpcIndirectDataContent");
  }
  std::span<const uint8_t> attribute = data.contents;
  Element type;
  if (!TakeElement(&attribute, &type) || type.tag != V_ASN1_OBJECT ||
      type.tag_class != V_ASN1_UNIVERSAL) {
    return Fail(Status::kMalformedSignature, "bad SpcAttributeTypeAndOptionalValue");
  }
  const unsigned char* p = type.whole.data();
  Asn1ObjectPtr type_oid(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(type.whole.size())));
  if (type_oid == nullptr || OidText(type_oid.get()) != kSpcPeImageDataOid) {
    return Fail(Status::kMalformedSignature, "signed content is not for a PE image");
  }

  p = digest_info.whole.data();
  X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(digest_info.whole.size())));
  if (sig == nullptr || p != digest_info.whole.data() + digest_info.whole.size()) {
    return Fail(Status::kMalformedSignature, "bad DigestInfo");
  }
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_get0(sig.get(), &algorithm, &digest);
  const ASN1_OBJECT* algorithm_oid = nullptr;
  X509_ALGOR_get0(&algorithm_oid, nullptr, nullptr, algorithm);
  const EVP_MD* md = SupportedDigest(algorithm_oid);
  if (md == nullptr) {
    return Fail(Status::kUnsupportedDigest, "image hash algorithm " + OidText(algorithm_oid));
  }
  if (digest == nullptr || ASN1_STRING_length(digest) != EVP_MD_get_size(md)) {
    return Fail(Status::kMalformedSignature, "image hash of the wrong length");
  }
  out->image_digest_md = md;
  const std::span<const uint8_t> digest_bytes = Bytes(digest);
  out->image_digest.assign(digest_bytes.begin(), digest_bytes.end());
  out->signed_content.assign(outer.contents.begin(), outer.contents.end());
  return Passed();
}

}  // namespace

VerifyResult ParseSignedData(std::span<const uint8_t> der, SignedData* out) {
  const unsigned char* p = der.data();
  Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (pkcs7 == nullptr) {
    return Fail(Status::kMalformedSignature, "not a PKCS#7 structure");
  }
  if (!AllZero(der.subspan(static_cast<size_t>(p - der.data())))) {
    return Fail(Status::kMalformedSignature, "data after the PKCS#7 structure");
  }
  if (!PKCS7_type_is_signed(pkcs7.get()) || pkcs7->d.sign == nullptr ||
      pkcs7->d.sign->contents == nullptr) {
    return Fail(Status::kMalformedSignature, "not a PKCS#7 SignedData");
  }
  const PKCS7* content_info = pkcs7->d.sign->contents;
  if (OidText(content_info->type) != kSpcIndirectDataOid) {
    return Fail(Status::kMalformedSignature, "signed content is not an SpcIndirectDataContent");
  }
  // OpenSSL keeps content of a type it does not know as ANY: for a SEQUENCE, its whole encoding.
  const ASN1_TYPE* content = content_info->d.other;
  if (content == nullptr || content->type != V_ASN1_SEQUENCE ||
      content->value.sequence == nullptr) {
    return Fail(Status::kMalformedSignature, "SpcIndirectDataContent missing");
  }
  VerifyResult parsed = ParseIndirectData(Bytes(content->value.sequence), out);
  if (!parsed.ok()) {
    return parsed;
  }

  STACK_OF(PKCS7_SIGNER_INFO)* signer_infos = PKCS7_get_signer_info(pkcs7.get());
  if (signer_infos == nullptr || sk_PKCS7_SIGNER_INFO_num(signer_infos) != 1) {
    return Fail(Status::kMalformedSignature, "not exactly one signer");
  }
  SignerStackPtr signers(PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
  if (signers == nullptr || sk_X509_num(signers.get()) != 1) {
    return Fail(Status::kMalformedSignature, "signing certificate missing");
  }
  out->signer_info = sk_PKCS7_SIGNER_INFO_value(signer_infos, 0);
  out->signer = sk_X509_value(signers.get(), 0);
  out->pkcs7 = std::move(pkcs7);
  return Passed();
}

VerifyResult CheckSignature(const SignedData& data) {
  const EVP_MD* md = SupportedDigest(data.signer_info->digest_alg->algorithm);
  if (md == nullptr) {
    return Fail(Status::kUnsupportedDigest,
                "signer digest algorithm " + OidText(data.signer_info->digest_alg->algorithm));
  }
  if (!VerifySignerInfo(data.pkcs7.get(), data.signer_info, data.signer, md, data.signed_content)) {
    return Fail(Status::kSignatureInvalid, "signature does not verify");
  }
  return Passed();
}

}  // namespace authenticode::internal
