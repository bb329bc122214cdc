// End-to-end checks of the verifier on images signed by osslsigncode (and edited with OpenSSL),
// with throwaway PKIs made per test: what a signature must be and hold.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"
#include "authenticode/test/verify_fixture.h"

namespace authenticode {

namespace {

using test::CaOptions;
using test::CertOptions;
using test::CodeSigningOptions;
using test::CreateIdentity;
using test::Flip;
using test::Identity;
using test::MinimalPe;
using test::SignOptions;
using test::TimeStampingOptions;
using test::VerifyTest;

constexpr std::time_t kDay = 86400;

// The DER of the image hash inside the SpcIndirectDataContent: SHA-256's AlgorithmIdentifier (with
// NULL parameters) followed by the OCTET STRING header of the 32-byte hash. The SignerInfo's own
// digest algorithm is not followed by an OCTET STRING.
constexpr std::string_view kSha256DigestInfoPrefix(
    "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 15);

TEST_F(VerifyTest, ReturnsTheSignerNameExactlyAsCertified) {
  // The publisher comparison belongs to the caller: names that differ in case or blanks, or that
  // are not ASCII, come back byte for byte.
  const std::string names[] = {
      "Halvern Technology(Ostervik) Company Limited",
      "Halvern Technology (Ostervik) Company Limited",
      "halvern technology(ostervik) company limited",
      "Halvern  Technology (Ostervik) Company Limited",
      " Halvern Technology(Ostervik) Company Limited ",
      "Halvern Teknologi (Östervik) 有限公司",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const VerifyResult result = Verify(Sign(Leaf(name)));
    EXPECT_EQ(result.status, Status::kOk) << result.detail;
    EXPECT_EQ(result.signer_name, name);
    EXPECT_EQ(result.detail, "");
  }
}

TEST_F(VerifyTest, RefusesWhatIsNotASignedPeImage) {
  const std::string signed_image = Sign(Leaf("Signer"));
  std::string appended = signed_image + '\0';
  std::string garbage(4096, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) {
    garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
  }
  struct Case {
    const char* name;
    std::string image;
    Status expected;
  } cases[] = {
      {"empty", "", Status::kNotPe},
      {"MZ only", "MZ", Status::kNotPe},
      {"DOS header only", signed_image.substr(0, 64), Status::kNotPe},
      {"cut inside the optional header", signed_image.substr(0, 200), Status::kNotPe},
      {"garbage", garbage, Status::kNotPe},
      {"garbage after MZ", "MZ" + garbage, Status::kNotPe},
      {"unsigned PE32+", MinimalPe(true), Status::kNoSignature},
      {"unsigned PE32", MinimalPe(false), Status::kNoSignature},
      {"cut inside the image", signed_image.substr(0, 1000), Status::kMalformedSignature},
      {"cut inside the signature", signed_image.substr(0, signed_image.size() - 100),
       Status::kMalformedSignature},
      {"last byte missing", signed_image.substr(0, signed_image.size() - 1),
       Status::kMalformedSignature},
      {"a byte appended", appended, Status::kMalformedSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(c.image);
    EXPECT_EQ(result.status, c.expected) << result.detail;
    EXPECT_EQ(result.signer_name, "");
    EXPECT_NE(result.detail, "");
  }
}

TEST_F(VerifyTest, OneChangedByteInTheImage) {
  const std::string overlay_image = MinimalPe(true, 5000);
  const std::string signed_image = Sign(Leaf("Signer"), {}, overlay_image);
  const test::PeOffsets offsets = test::LocatePe(signed_image);
  struct Case {
    const char* name;
    size_t offset;
    Status expected;
  } cases[] = {
      {"DOS header", 0x3A, Status::kImageHashMismatch},
      {"COFF header", 0x48, Status::kImageHashMismatch},
      {"optional header", 0x80, Status::kImageHashMismatch},
      {"code", 0x201, Status::kImageHashMismatch},
      {"section padding", 0x3FF, Status::kImageHashMismatch},
      {"overlay", 1024 + 4321, Status::kImageHashMismatch},
      {"byte before the checksum", offsets.checksum - 1, Status::kImageHashMismatch},
      {"byte after the checksum", offsets.checksum + 4, Status::kImageHashMismatch},
      // The checksum is not part of the hash, and signing tools may leave it stale.
      {"checksum", offsets.checksum, Status::kOk},
      {"checksum last byte", offsets.checksum + 3, Status::kOk},
  };
  ASSERT_EQ(Verify(signed_image).status, Status::kOk);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(Flip(signed_image, c.offset));
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

TEST_F(VerifyTest, OneChangedByteInTheSignature) {
  const Identity leaf = Leaf("Signer");
  const std::string signed_image = Sign(leaf);
  const ASN1_BIT_STRING* cert_signature = nullptr;
  X509_get0_signature(&cert_signature, nullptr, leaf.cert.get());
  const std::string cert_signature_bytes(reinterpret_cast<const char*>(cert_signature->data),
                                         static_cast<size_t>(cert_signature->length));
  const size_t table = test::LocatePe(signed_image).table_offset;
  struct Case {
    const char* name;
    size_t offset;
    Status expected;
  } cases[] = {
      {"signature value", test::FindOnce(signed_image, test::SignatureValue(signed_image)) + 12,
       Status::kSignatureInvalid},
      {"signed image hash",
       test::FindOnce(signed_image, kSha256DigestInfoPrefix) + kSha256DigestInfoPrefix.size() + 5,
       Status::kSignatureInvalid},
      {"leaf certificate's signature", test::FindOnce(signed_image, cert_signature_bytes) + 9,
       Status::kUntrustedChain},
      {"entry length", table + 1, Status::kMalformedSignature},
      {"entry type", table + 6, Status::kMalformedSignature},
      {"ContentInfo tag", table + 8, Status::kMalformedSignature},
      {"ContentInfo length", table + 10, Status::kMalformedSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(Flip(signed_image, c.offset));
    EXPECT_EQ(result.status, c.expected) << result.detail;
    EXPECT_EQ(result.signer_name, "");
  }
}

TEST_F(VerifyTest, ChainMustEndInTheTrustStore) {
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  const Identity intermediate = CreateIdentity(CaOptions("Test Intermediate"), &root_);
  CertOptions restricted_options = CaOptions("Server Intermediate");
  restricted_options.extended_key_usage = {"serverAuth"};
  const Identity restricted = CreateIdentity(restricted_options, &root_);
  CertOptions signing_ca_options = CaOptions("Signing Intermediate");
  signing_ca_options.extended_key_usage = {"codeSigning"};
  const Identity signing_ca = CreateIdentity(signing_ca_options, &root_);
  // A certificate that is not a CA cannot issue one.
  const Identity not_a_ca = Leaf("Not A CA");

  const Identity via_intermediate = CreateIdentity(CodeSigningOptions("Via Inter"), &intermediate);
  const Identity via_restricted = CreateIdentity(CodeSigningOptions("Via Server"), &restricted);
  const Identity via_signing_ca = CreateIdentity(CodeSigningOptions("Via Signing"), &signing_ca);
  const Identity via_not_a_ca = CreateIdentity(CodeSigningOptions("Via Leaf"), &not_a_ca);
  const Identity foreign = CreateIdentity(CodeSigningOptions("Foreign"), &other_root);
  const Identity self_signed = CreateIdentity(CodeSigningOptions("Self Signed"), nullptr);

  struct Case {
    const char* name;
    const Identity* leaf;
    std::vector<const Identity*> chain;
    Status expected;
  } cases[] = {
      {"intermediate carried", &via_intermediate, {&intermediate}, Status::kOk},
      {"intermediate missing", &via_intermediate, {}, Status::kUntrustedChain},
      {"intermediate for code signing", &via_signing_ca, {&signing_ca}, Status::kOk},
      {"intermediate for servers only", &via_restricted, {&restricted}, Status::kWrongKeyUsage},
      {"issuer is not a CA", &via_not_a_ca, {&not_a_ca}, Status::kUntrustedChain},
      {"other root", &foreign, {}, Status::kUntrustedChain},
      {"other root carried along", &foreign, {&other_root}, Status::kUntrustedChain},
      {"self-signed leaf", &self_signed, {}, Status::kUntrustedChain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignOptions options;
    options.chain = c.chain;
    const VerifyResult result = Verify(Sign(*c.leaf, options));
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

TEST_F(VerifyTest, SigningCertificateMustAllowCodeSigning) {
  struct Case {
    const char* name;
    std::vector<std::string> extended_key_usage;
    std::string key_usage;
    Status expected;
  } cases[] = {
      {"code signing", {"codeSigning"}, "critical,digitalSignature", Status::kOk},
      {"no extended key usage", {}, "critical,digitalSignature", Status::kOk},
      {"no usage extensions at all", {}, "", Status::kOk},
      {"code signing among others", {"serverAuth", "codeSigning"}, "", Status::kOk},
      {"server only", {"serverAuth"}, "critical,digitalSignature", Status::kWrongKeyUsage},
      {"client and e-mail", {"clientAuth", "emailProtection"}, "", Status::kWrongKeyUsage},
      {"time stamping", {"timeStamping"}, "", Status::kWrongKeyUsage},
      {"any usage", {"anyExtendedKeyUsage"}, "", Status::kWrongKeyUsage},
      {"key agreement only", {"codeSigning"}, "critical,keyAgreement", Status::kWrongKeyUsage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertOptions options = CodeSigningOptions("Usage Test");
    options.extended_key_usage = c.extended_key_usage;
    options.key_usage = c.key_usage;
    const VerifyResult result = Verify(Sign(CreateIdentity(options, &root_)));
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

TEST_F(VerifyTest, CertificateOutsideItsValidityNeedsAValidTimestamp) {
  const std::time_t now = std::time(nullptr);
  CertOptions expired_options = CodeSigningOptions("Halvern Technology(Ostervik) Company Limited");
  expired_options.not_before = now - 400 * kDay;
  expired_options.not_after = now - 30 * kDay;
  const Identity expired = CreateIdentity(expired_options, &root_);
  CertOptions future_options = CodeSigningOptions("Not Yet");
  future_options.not_before = now + 30 * kDay;
  future_options.not_after = now + 400 * kDay;
  const Identity not_yet_valid = CreateIdentity(future_options, &root_);
  const Identity current = Leaf("Current");

  CertOptions tsa_options = TimeStampingOptions("Test TSA");
  tsa_options.not_before = now - 3000 * kDay;
  const Identity tsa = CreateIdentity(tsa_options, &root_);
  CertOptions retired_options = TimeStampingOptions("Retired TSA");
  retired_options.not_before = now - 200 * kDay;
  retired_options.not_after = now - 50 * kDay;
  const Identity retired_tsa = CreateIdentity(retired_options, &root_);
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  tsa_options.subject = {{"CN", "Foreign TSA"}};
  const Identity foreign_tsa = CreateIdentity(tsa_options, &other_root);
  CertOptions not_tsa_options = CodeSigningOptions("Not a TSA");
  not_tsa_options.not_before = now - 3000 * kDay;
  const Identity not_tsa = CreateIdentity(not_tsa_options, &root_);
  not_tsa_options.extended_key_usage.clear();
  not_tsa_options.subject = {{"CN", "No Usages"}};
  const Identity no_usages = CreateIdentity(not_tsa_options, &root_);

  const std::time_t while_valid = now - 100 * kDay;
  const std::time_t after_expiry = now - 10 * kDay;

  enum class Stamp { kNone, kRfc3161, kCountersignature };
  struct Case {
    const char* name;
    const Identity* leaf;
    Stamp stamp;
    const Identity* authority;
    std::time_t when;
    Status expected;
  } cases[] = {
      {"expired, no timestamp", &expired, Stamp::kNone, nullptr, 0, Status::kCertificateExpired},
      {"expired, RFC 3161 while valid", &expired, Stamp::kRfc3161, &tsa, while_valid, Status::kOk},
      {"expired, RFC 3161 after expiry", &expired, Stamp::kRfc3161, &tsa, after_expiry,
       Status::kCertificateExpired},
      {"expired, RFC 3161 by a foreign TSA", &expired, Stamp::kRfc3161, &foreign_tsa, while_valid,
       Status::kCertificateExpired},
      {"expired, countersigned by a non-TSA", &expired, Stamp::kCountersignature, &not_tsa,
       while_valid, Status::kCertificateExpired},
      {"expired, countersigned without usages", &expired, Stamp::kCountersignature, &no_usages,
       while_valid, Status::kCertificateExpired},
      {"expired, countersigned while valid", &expired, Stamp::kCountersignature, &tsa, while_valid,
       Status::kOk},
      {"expired, countersigned after expiry", &expired, Stamp::kCountersignature, &tsa,
       after_expiry, Status::kCertificateExpired},
      {"expired, countersigned by a foreign TSA", &expired, Stamp::kCountersignature, &foreign_tsa,
       while_valid, Status::kCertificateExpired},
      {"not yet valid, no timestamp", &not_yet_valid, Stamp::kNone, nullptr, 0,
       Status::kCertificateExpired},
      {"current, timestamped", &current, Stamp::kRfc3161, &tsa, now - 60, Status::kOk},
      {"TSA certificate expired since", &expired, Stamp::kRfc3161, &retired_tsa, while_valid,
       Status::kOk},
      {"TSA certificate expired since, countersigned", &expired, Stamp::kCountersignature,
       &retired_tsa, while_valid, Status::kOk},
      {"TSA certificate not valid at the time", &expired, Stamp::kCountersignature, &retired_tsa,
       now - 300 * kDay, Status::kCertificateExpired},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignOptions options;
    if (c.stamp == Stamp::kRfc3161) {
      options.timestamp_authority = c.authority;
      options.timestamp_time = c.when;
    }
    std::string signed_image = Sign(*c.leaf, options);
    if (c.stamp == Stamp::kCountersignature) {
      signed_image = test::AddCountersignature(signed_image, *c.authority, c.when);
    }
    const VerifyResult result = Verify(signed_image);
    EXPECT_EQ(result.status, c.expected) << result.detail;
    if (c.expected == Status::kOk) {
      EXPECT_NE(result.signer_name, "");
    }
  }
}

TEST_F(VerifyTest, TimestampMustCoverThisSignature) {
  const std::time_t now = std::time(nullptr);
  CertOptions expired_options = CodeSigningOptions("Expired");
  expired_options.not_before = now - 400 * kDay;
  expired_options.not_after = now - 30 * kDay;
  const Identity expired = CreateIdentity(expired_options, &root_);
  const Identity tsa = CreateIdentity(TimeStampingOptions("Test TSA"), &root_);
  SignOptions options;
  options.timestamp_authority = &tsa;
  options.timestamp_time = now - 100 * kDay;
  const std::string stamped = Sign(expired, options);
  const std::string countersigned = test::AddCountersignature(Sign(expired), tsa, now - 100 * kDay);
  ASSERT_EQ(Verify(stamped).status, Status::kOk);
  ASSERT_EQ(Verify(countersigned).status, Status::kOk);

  // The timestamp sits in the unsigned attributes, so editing or moving it leaves the primary
  // signature intact: only the timestamp's own checks can catch it. Its message imprint is the
  // SHA-256 of the primary signature value.
  const std::string value = test::SignatureValue(stamped);
  unsigned char imprint[EVP_MAX_MD_SIZE];
  unsigned int imprint_size = 0;
  ASSERT_EQ(EVP_Digest(value.data(), value.size(), imprint, &imprint_size, EVP_sha256(), nullptr),
            1);
  const size_t imprint_at = test::FindOnce(
      stamped, std::string_view(reinterpret_cast<const char*>(imprint), imprint_size));
  // Another signature of another file by the same certificate.
  const std::string other = Sign(expired, {}, MinimalPe(true, 16));

  struct Case {
    const char* name;
    std::string image;
  } cases[] = {
      {"imprint altered", Flip(stamped, imprint_at + 3)},
      {"RFC 3161 token of another signature", test::GraftUnsignedAttributes(stamped, other)},
      {"countersignature of another signature",
       test::GraftUnsignedAttributes(countersigned, other)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(c.image);
    EXPECT_EQ(result.status, Status::kCertificateExpired) << result.detail;
  }
}

// DER of one element (short or two-byte long-form length).
std::string Der(uint8_t tag, std::string_view contents) {
  std::string out(1, static_cast<char>(tag));
  if (contents.size() < 0x80) {
    out += static_cast<char>(contents.size());
  } else {
    out += '\x82';
    out += static_cast<char>(contents.size() >> 8);
    out += static_cast<char>(contents.size() & 0xFF);
  }
  return out += contents;
}

TEST_F(VerifyTest, SignedContentMustDescribeThisPeImage) {
  const Identity leaf = Leaf("Content Test");
  const std::string signed_image = Sign(leaf);
  const std::string original = test::IndirectDataContent(signed_image);
  // With SHA-256 the content ends with the image hash.
  const std::string hash = original.substr(original.size() - 32);

  const std::string pe_image_data("\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x02\x01\x0f", 12);
  std::string cab_data = pe_image_data;
  cab_data.back() = '\x19';
  const std::string sha256 =
      Der(0x30, std::string("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00", 13));
  const std::string md5 =
      Der(0x30, std::string("\x06\x08\x2a\x86\x48\x86\xf7\x0d\x02\x05\x05\x00", 12));
  const auto attribute = [](const std::string& type) {
    return Der(0x30, type + Der(0x30, std::string("\x03\x01\x00", 3)));
  };
  const auto content = [&](const std::string& type, const std::string& algorithm,
                           const std::string& digest, const std::string& extra = "") {
    return attribute(type) + Der(0x30, algorithm + Der(0x04, digest)) + extra;
  };
  std::string other_hash = hash;
  other_hash[7] ^= 1;
  const std::string body = content(pe_image_data, sha256, hash);

  struct Case {
    const char* name;
    std::string content;
    Status expected;
  } cases[] = {
      {"as osslsigncode made it", original, Status::kOk},
      {"rebuilt", Der(0x30, body), Status::kOk},
      {"hash of another image", Der(0x30, content(pe_image_data, sha256, other_hash)),
       Status::kImageHashMismatch},
      {"for a cabinet file", Der(0x30, content(cab_data, sha256, hash)),
       Status::kMalformedSignature},
      {"hash one byte short", Der(0x30, content(pe_image_data, sha256, hash.substr(1))),
       Status::kMalformedSignature},
      {"MD5 image hash", Der(0x30, content(pe_image_data, md5, hash.substr(0, 16))),
       Status::kUnsupportedDigest},
      {"element after the digest", Der(0x30, content(pe_image_data, sha256, hash, Der(0x05, ""))),
       Status::kMalformedSignature},
      {"a SET, not a SEQUENCE", Der(0x31, body), Status::kMalformedSignature},
      {"indefinite length", "\x30\x80" + body + std::string(2, '\0'), Status::kMalformedSignature},
      {"digest info missing", Der(0x30, attribute(pe_image_data)), Status::kMalformedSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(test::SignIndirectData(signed_image, leaf, c.content));
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

TEST_F(VerifyTest, OnlyThePrimarySignatureCounts) {
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  const Identity foreign = CreateIdentity(CodeSigningOptions("Foreign"), &other_root);
  const Identity trusted = Leaf("Trusted");
  SignOptions nest;
  nest.nest = true;

  const std::string foreign_then_trusted = Sign(trusted, nest, Sign(foreign));
  VerifyResult result = Verify(foreign_then_trusted);
  EXPECT_EQ(result.status, Status::kUntrustedChain) << result.detail;
  EXPECT_EQ(result.signer_name, "");

  const std::string trusted_then_foreign = Sign(foreign, nest, Sign(trusted));
  result = Verify(trusted_then_foreign);
  EXPECT_EQ(result.status, Status::kOk) << result.detail;
  EXPECT_EQ(result.signer_name, "Trusted");
}

TEST_F(VerifyTest, ImageHashAlgorithmsAndImageKinds) {
  const Identity leaf = Leaf("Digest Test");
  CertOptions rsa_options = CodeSigningOptions("RSA Signer");
  rsa_options.rsa_key = true;
  const Identity rsa_leaf = CreateIdentity(rsa_options, &root_);
  struct Case {
    std::string digest;
    bool pe32_plus;
    const Identity* leaf;
    Status expected;
  } cases[] = {
      {"sha1", true, &leaf, Status::kOk},
      {"sha256", true, &leaf, Status::kOk},
      {"sha384", true, &leaf, Status::kOk},
      {"sha512", true, &leaf, Status::kOk},
      {"sha256", false, &leaf, Status::kOk},
      {"sha1", false, &leaf, Status::kOk},
      {"sha256", true, &rsa_leaf, Status::kOk},
      {"md5", true, &rsa_leaf, Status::kUnsupportedDigest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digest + (c.pe32_plus ? " PE32+" : " PE32"));
    SignOptions options;
    options.digest = c.digest;
    const std::string signed_image = Sign(*c.leaf, options, MinimalPe(c.pe32_plus, 300));
    VerifyResult result = Verify(signed_image);
    EXPECT_EQ(result.status, c.expected) << result.detail;
    if (c.expected == Status::kOk) {
      // The directory entry lies elsewhere in PE32: a layout mix-up shows here.
      result = Verify(Flip(signed_image, 1024 + 299));
      EXPECT_EQ(result.status, Status::kImageHashMismatch) << result.detail;
    }
  }
}

TEST_F(VerifyTest, CertificateTableShape) {
  const std::string signed_image = Sign(Leaf("Table Test"));
  const test::PeOffsets offsets = test::LocatePe(signed_image);
  const std::string der = test::ExtractSignature(signed_image);

  std::string zero_padded = signed_image + std::string(8, '\0');
  test::SetCertDirectory(&zero_padded, offsets.table_offset, offsets.table_size + 8);
  std::string data_after = signed_image + "ABCDEFGH";
  test::SetCertDirectory(&data_after, offsets.table_offset, offsets.table_size + 8);
  std::string oversized = signed_image + std::string(kMaxCertificateTableSize, '\0');
  test::SetCertDirectory(&oversized, offsets.table_offset,
                         static_cast<uint32_t>(offsets.table_size + kMaxCertificateTableSize));
  std::string inside_headers = signed_image;
  test::SetCertDirectory(&inside_headers, 0x80,
                         static_cast<uint32_t>(inside_headers.size() - 0x80));
  std::string beyond_end = signed_image;
  test::SetCertDirectory(&beyond_end, offsets.table_offset + 8, offsets.table_size);
  std::string entry_too_long = signed_image;
  entry_too_long[offsets.table_offset + 2] = '\x01';
  std::string old_revision = signed_image;
  old_revision[offsets.table_offset + 5] = '\x01';
  std::string directory_cleared = signed_image;
  test::SetCertDirectory(&directory_cleared, 0, 0);
  const std::string garbage_der = test::ReplaceSignature(signed_image, std::string(300, '\x30'));
  const std::string der_with_padding =
      test::ReplaceSignature(signed_image, der + std::string(5, '\0'));
  const std::string der_with_trailer = test::ReplaceSignature(signed_image, der + "x");
  const std::string two_signers = test::DuplicateSignerInfo(signed_image);

  struct Case {
    const char* name;
    const std::string* image;
    Status expected;
  } cases[] = {
      {"as signed", &signed_image, Status::kOk},
      {"zero padding after the entry", &zero_padded, Status::kOk},
      {"zero padding inside the entry", &der_with_padding, Status::kOk},
      {"data after the entry", &data_after, Status::kMalformedSignature},
      {"data after the PKCS#7 structure", &der_with_trailer, Status::kMalformedSignature},
      {"table too large", &oversized, Status::kMalformedSignature},
      {"table inside the headers", &inside_headers, Status::kMalformedSignature},
      {"table beyond the end", &beyond_end, Status::kMalformedSignature},
      {"entry longer than the table", &entry_too_long, Status::kMalformedSignature},
      {"entry revision 1", &old_revision, Status::kMalformedSignature},
      {"directory entry cleared", &directory_cleared, Status::kNoSignature},
      {"not DER", &garbage_der, Status::kMalformedSignature},
      {"two signer infos", &two_signers, Status::kMalformedSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VerifyResult result = Verify(*c.image);
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

}  // namespace
}  // namespace authenticode
