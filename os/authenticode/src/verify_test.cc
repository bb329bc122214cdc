// End-to-end verdicts of the verifier. Well-formed signatures come from osslsigncode, a signer
// independent of this code; OpenSSL edits or hand-built bytes make what no tool produces. Each
// table row says how a file was made or damaged and the verdict it must get. Then files and
// descriptors (the same verdicts, whatever happens to the name) and the trust stores.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"
#include "src/byte_source.h"
#include "src/pe_image.h"

// Table rows and designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace authenticode {

void PrintTo(Status status, std::ostream* out) { *out << StatusName(status); }

namespace {

using test::CaOptions;
using test::CertOptions;
using test::CodeSigningOptions;
using test::CreateIdentity;
using test::Identity;
using test::MinimalPe;
using test::Signer;
using test::SignOptions;
using test::TimeStampingOptions;

constexpr std::time_t kDay = 86400;
// MinimalPe() puts the PE header at 0x40 and the optional header 24 bytes later.
constexpr size_t kPe = 0x40;
constexpr size_t kOptionalSize = kPe + 20;
constexpr size_t kOptional = kPe + 24;
constexpr size_t kDirectoryCount = kOptional + 108;
// The DER that precedes a SHA-256 image hash in the signed content: the AlgorithmIdentifier (with
// NULL parameters) and the OCTET STRING header.
constexpr std::string_view kSha256HashPrefix(
    "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 15);

// |image| with |width| bytes at |at| set to |value|, little-endian.
std::string Patch(std::string image, size_t at, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    image.at(at + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return image;
}

std::string WithDirectory(std::string image, uint32_t table_offset, size_t table_size) {
  test::SetCertDirectory(&image, table_offset, static_cast<uint32_t>(table_size));
  return image;
}

// |bytes| with the byte at |at| changed.
std::string Flip(std::string bytes, size_t at) {
  bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x5A);
  return bytes;
}

// |image| with the last byte of its signature's DER changed: the last signature value in it.
std::string FlipLastSignatureByte(const std::string& image) {
  const std::string der = test::ExtractSignature(image);
  // A SEQUENCE with a two-byte length, perhaps followed by padding.
  const size_t end = 4 + (static_cast<uint8_t>(der.at(2)) << 8 | static_cast<uint8_t>(der.at(3)));
  return Flip(image, test::LocatePe(image).table_offset + 8 + end - 1);
}

// Where |needle| first occurs in |haystack| (a failure, and 0, when it does not).
size_t Find(std::string_view haystack, std::string_view needle) {
  const size_t at = haystack.find(needle);
  EXPECT_TRUE(!needle.empty() && at != std::string_view::npos);
  return at == std::string_view::npos ? 0 : at;
}

class VerifyTest : public ::testing::Test {
 protected:
  // A file and the verdict it must get; |signer| is the name that comes back with kOk and the
  // chain's verdicts (empty with the others).
  struct Case {
    const char* name;
    std::string image;
    Status expected;
    std::string signer;
  };

  static Identity Leaf(const std::string& common_name, const Identity& issuer) {
    return CreateIdentity(CodeSigningOptions(common_name), &issuer);
  }
  Identity Leaf(const std::string& common_name) { return Leaf(common_name, root_); }

  std::string Sign(const Identity& leaf, const SignOptions& options = {},
                   const std::string& image = MinimalPe()) {
    std::string signed_image = signer_.Sign(image, leaf, options);
    EXPECT_FALSE(signed_image.empty());
    return signed_image;
  }

  void ExpectVerdicts(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const VerifyResult result = VerifyImage(c.image, *trust_);
      EXPECT_EQ(result.status, c.expected) << result.detail;
      EXPECT_EQ(result.signer_name, c.signer);
      EXPECT_EQ(result.detail.empty(), result.ok());
    }
  }

  Identity root_ = CreateIdentity(CaOptions("Test Code Signing Root"), nullptr);
  std::unique_ptr<TrustStore> trust_ = TrustStore::FromPem(root_.CertPem());
  Signer signer_{::testing::TempDir()};
};

TEST_F(VerifyTest, HeadersAndCertificateTable) {
  const std::string image = Sign(Leaf("Signer"), {}, MinimalPe(true, 64));
  const test::PeOffsets pe = test::LocatePe(image);
  const std::string der = test::ExtractSignature(image);
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  const Identity foreign = CreateIdentity(CodeSigningOptions("Foreign"), &other_root);
  const std::string foreign_image = Sign(foreign);
  // A second entry, as real files carry: another signer's signature of the same file.
  const std::string second = test::CertificateEntry(test::ExtractSignature(foreign_image));
  const auto with_second = [&](const std::string& first, const std::string& entry) {
    return test::AppendToCertificateTable(first, entry);
  };
  // The first entry declares a length three bytes short of a multiple of eight.
  const std::string unaligned =
      test::ReplaceSignature(image, der + std::string((13 - der.size() % 8) % 8, '\0'));
  const test::PeOffsets entry = test::LocatePe(unaligned);
  const size_t unaligned_end = size_t{entry.table_offset} + entry.table_size;
  // Without its padding, so that an entry appended to it starts off the eight-byte grid.
  const std::string unaligned_unpadded = WithDirectory(unaligned.substr(0, unaligned_end - 3),
                                                       entry.table_offset, entry.table_size - 3);
  ExpectVerdicts({
      {"empty", "", Status::kNotPe},
      {"no MZ", std::string(4096, 'Z'), Status::kNotPe},
      {"PE header far beyond the file", Patch(image, 0x3C, 0xFFFFFFF0, 4), Status::kNotPe},
      {"bad PE signature", Patch(image, kPe + 3, 1, 1), Status::kNotPe},
      {"no optional header", Patch(image, kOptionalSize, 0, 2), Status::kNotPe},
      {"optional header ends before the directory count", Patch(image, kOptionalSize, 0x60, 2),
       Status::kNotPe},
      {"optional header ends in the directories", Patch(image, kOptionalSize, 0x90, 2),
       Status::kNotPe},
      {"optional header beyond the file", Patch(image, kOptionalSize, 0xFFFF, 2), Status::kNotPe},
      {"ROM image magic", Patch(image, kOptional, 0x107, 2), Status::kNotPe},
      {"unsigned PE32+", MinimalPe(true), Status::kNoSignature},
      // Without a fifth directory there is no certificate table, whatever follows the headers.
      {"four data directories", Patch(image, kDirectoryCount, 4, 4), Status::kNoSignature},
      {"directory entry cleared", WithDirectory(image, 0, 0), Status::kNoSignature},
      {"last byte missing", image.substr(0, image.size() - 1), Status::kMalformedSignature},
      {"a byte appended", image + '\0', Status::kMalformedSignature},
      {"zero padding after the entry",
       WithDirectory(image + std::string(8, '\0'), pe.table_offset, pe.table_size + 8), Status::kOk,
       "Signer"},
      {"data after the entry",
       WithDirectory(image + "ABCDEFGH", pe.table_offset, pe.table_size + 8),
       Status::kMalformedSignature},
      // Only the first entry is judged; the others need only be entries.
      {"second entry by another signer", with_second(image, second), Status::kOk, "Signer"},
      {"first entry by another signer", with_second(foreign_image, test::CertificateEntry(der)),
       Status::kUntrustedChain, "Foreign"},
      {"second entry not DER", with_second(image, test::CertificateEntry(std::string(300, '0'))),
       Status::kOk, "Signer"},
      {"second entry of another type", with_second(image, test::CertificateEntry("X.509", 1)),
       Status::kOk, "Signer"},
      {"zero padding after two entries",
       with_second(with_second(image, second), std::string(16, '\0')), Status::kOk, "Signer"},
      {"data after two entries", with_second(with_second(image, second), "ABCDEFGH"),
       Status::kMalformedSignature},
      {"second entry longer than the table",
       with_second(image, Patch(second, 0, static_cast<uint32_t>(second.size() + 1), 4)),
       Status::kMalformedSignature},
      {"second entry's length wraps", with_second(image, Patch(second, 0, 0xFFFFFFF9, 4)),
       Status::kMalformedSignature},
      {"second entry only a header", with_second(image, Patch(second, 0, 8, 4)),
       Status::kMalformedSignature},
      {"second entry's header cut short", with_second(image, std::string("\x10\0\0\0", 4)),
       Status::kMalformedSignature},
      {"entries padded to eight bytes", with_second(unaligned, second), Status::kOk, "Signer"},
      {"data in the padding between entries",
       Flip(with_second(unaligned, second), unaligned_end - 1), Status::kMalformedSignature},
      {"second entry not at a multiple of eight", with_second(unaligned_unpadded, second),
       Status::kMalformedSignature},
      {"table too large",
       WithDirectory(image + std::string(kMaxCertificateTableSize, '\0'), pe.table_offset,
                     pe.table_size + kMaxCertificateTableSize),
       Status::kMalformedSignature},
      {"table inside the headers", WithDirectory(image, 0x80, image.size() - 0x80),
       Status::kMalformedSignature},
      {"table shorter than an entry header",
       WithDirectory(MinimalPe() + std::string(4, '\0'), 1024, 4), Status::kMalformedSignature},
      {"entry longer than the table", Patch(image, pe.table_offset + 2, 1, 1),
       Status::kMalformedSignature},
      {"entry revision 1", Patch(image, pe.table_offset + 5, 1, 1), Status::kMalformedSignature},
      {"not DER", test::ReplaceSignature(image, std::string(300, '\x30')),
       Status::kMalformedSignature},
      {"zero padding inside the entry", test::ReplaceSignature(image, der + std::string(5, '\0')),
       Status::kOk, "Signer"},
      {"data after the PKCS#7 structure", test::ReplaceSignature(image, der + "x"),
       Status::kMalformedSignature},
      {"two signer infos", test::DuplicateSignerInfo(image), Status::kMalformedSignature},
      // Nested signatures ride in the primary one's unsigned attributes and are not consulted.
      {"trusted signature nested in a foreign one",
       Sign(Leaf("Inner"), {.nest = true}, Sign(foreign)), Status::kUntrustedChain, "Foreign"},
  });
}

TEST_F(VerifyTest, WhatTheHashAndTheSignatureCover) {
  const Identity leaf = Leaf("Signer");
  const std::string image = Sign(leaf, {}, MinimalPe(true, 5000));
  const test::PeOffsets pe = test::LocatePe(image);
  const std::string pe32 = Sign(leaf, {}, MinimalPe(false, 300));
  const ASN1_BIT_STRING* cert_signature = nullptr;
  X509_get0_signature(&cert_signature, nullptr, leaf.cert.get());
  ExpectVerdicts({
      {"code", Flip(image, 0x201), Status::kImageHashMismatch},
      {"overlay", Flip(image, 1024 + 4321), Status::kImageHashMismatch},
      {"overlay of a PE32 image", Flip(pe32, 1024 + 299), Status::kImageHashMismatch},
      {"byte before the checksum", Flip(image, pe.checksum - 1), Status::kImageHashMismatch},
      {"byte after the checksum", Flip(image, pe.checksum + 4), Status::kImageHashMismatch},
      {"byte after the directory entry", Flip(image, pe.cert_directory + 8),
       Status::kImageHashMismatch},
      // The checksum is not hashed, and signing tools may leave it stale.
      {"checksum", Flip(image, pe.checksum), Status::kOk, "Signer"},
      {"signature value", FlipLastSignatureByte(image), Status::kSignatureInvalid},
      {"signed image hash",
       Flip(image, Find(image, kSha256HashPrefix) + kSha256HashPrefix.size() + 5),
       Status::kSignatureInvalid},
      {"leaf certificate's signature",
       Flip(image, Find(image, std::string_view(reinterpret_cast<const char*>(cert_signature->data),
                                                static_cast<size_t>(cert_signature->length))) +
                       9),
       Status::kUntrustedChain, "Signer"},
      {"SHA-1", Sign(leaf, {.digest = "sha1"}), Status::kOk, "Signer"},
      {"SHA-384", Sign(leaf, {.digest = "sha384"}), Status::kOk, "Signer"},
      {"SHA-512", Sign(leaf, {.digest = "sha512"}, MinimalPe(false)), Status::kOk, "Signer"},
  });
}

// The signed content is parsed before its signature is checked, so edits in place reach each of
// its checks without signing anew.
TEST_F(VerifyTest, SignedContentMustDescribeThisPeImage) {
  const std::string image = Sign(Leaf("Signer"));
  // SpcIndirectDataContent ::= SEQUENCE { SEQUENCE { SpcPeImageData OID, value }, DigestInfo },
  // each with a one-byte length.
  const size_t type =
      Find(image, std::string_view("\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x02\x01\x0f", 12));
  const size_t outer = type - 4;
  const size_t digest_info = Find(image, kSha256HashPrefix) - 4;
  const size_t algorithm_end = digest_info + 14;  // The last byte of SHA-256's OID.
  const uint8_t digest_length = image[digest_info + 1];
  const size_t digest_end = digest_info + 2 + digest_length;  // The hash comes last.
  // An indefinite length with its end-of-contents in the last two bytes of the hash.
  const std::string indefinite =
      Patch(Patch(Patch(image, outer + 1, 0x80, 1), digest_info + 1, digest_length - 2, 1),
            digest_end - 2, 0, 2);
  ExpectVerdicts({
      {"for a cabinet file", Patch(image, type + 11, 0x19, 1), Status::kMalformedSignature},
      {"type not an OID", Patch(image, type, 0x05, 1), Status::kMalformedSignature},
      {"a SET, not a SEQUENCE", Patch(image, outer, 0x31, 1), Status::kMalformedSignature},
      {"indefinite length", indefinite, Status::kMalformedSignature},
      {"DigestInfo inside the first element", Patch(image, type - 1, digest_end - type, 1),
       Status::kMalformedSignature},
      {"algorithm a SET", Patch(image, digest_info + 2, 0x31, 1), Status::kMalformedSignature},
      {"SHA-224 image hash", Patch(image, algorithm_end, 0x04, 1), Status::kUnsupportedDigest},
      {"SHA-384 with 32 bytes", Patch(image, algorithm_end, 0x02, 1), Status::kMalformedSignature},
  });
}

TEST_F(VerifyTest, ChainAndUsage) {
  const auto ca = [&](const char* name, std::vector<std::string> usage) {
    CertOptions options = CaOptions(name);
    options.extended_key_usage = std::move(usage);
    return CreateIdentity(options, &root_);
  };
  const auto leaf = [&](std::vector<std::string> usage, std::string key_usage) {
    CertOptions options = CodeSigningOptions("Usage");
    options.extended_key_usage = std::move(usage);
    options.key_usage = std::move(key_usage);
    return Sign(CreateIdentity(options, &root_));
  };
  const Identity intermediate = ca("Intermediate", {});
  const Identity signing_ca = ca("Signing CA", {"codeSigning"});
  const Identity server_ca = ca("Server CA", {"serverAuth"});
  const Identity not_a_ca = Leaf("Not A CA");
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  ExpectVerdicts({
      // The name comes back byte for byte: comparing it is the caller's business.
      {"plain name", Sign(Leaf("Halvern Technology(Ostervik) Company Limited")), Status::kOk,
       "Halvern Technology(Ostervik) Company Limited"},
      {"intermediate carried", Sign(Leaf("Deep", intermediate), {.chain = {&intermediate}}),
       Status::kOk, "Deep"},
      {"intermediate missing", Sign(Leaf("Deep", intermediate)), Status::kUntrustedChain, "Deep"},
      {"intermediate for code signing", Sign(Leaf("Deep", signing_ca), {.chain = {&signing_ca}}),
       Status::kOk, "Deep"},
      {"intermediate for servers only", Sign(Leaf("Deep", server_ca), {.chain = {&server_ca}}),
       Status::kWrongKeyUsage, "Deep"},
      {"issuer is not a CA", Sign(Leaf("Deep", not_a_ca), {.chain = {&not_a_ca}}),
       Status::kUntrustedChain, "Deep"},
      {"other root carried along", Sign(Leaf("Foreign", other_root), {.chain = {&other_root}}),
       Status::kUntrustedChain, "Foreign"},
      {"self-signed leaf", Sign(CreateIdentity(CodeSigningOptions("Self"), nullptr)),
       Status::kUntrustedChain, "Self"},
      {"no usage extensions at all", leaf({}, ""), Status::kOk, "Usage"},
      {"code signing among others", leaf({"serverAuth", "codeSigning"}, ""), Status::kOk, "Usage"},
      {"server only", leaf({"serverAuth"}, ""), Status::kWrongKeyUsage, "Usage"},
      {"any usage", leaf({"anyExtendedKeyUsage"}, ""), Status::kWrongKeyUsage, "Usage"},
      {"key agreement only", leaf({"codeSigning"}, "critical,keyAgreement"), Status::kWrongKeyUsage,
       "Usage"},
  });
}

TEST_F(VerifyTest, ExpiredCertificateNeedsATimestampOfThisSignature) {
  const std::time_t now = std::time(nullptr);
  const auto dated = [&](CertOptions options, std::time_t from, std::time_t to,
                         const Identity& issuer) {
    options.not_before = from;
    options.not_after = to;
    return CreateIdentity(options, &issuer);
  };
  const Identity expired =
      dated(CodeSigningOptions("Expired"), now - 400 * kDay, now - 30 * kDay, root_);
  const Identity not_yet =
      dated(CodeSigningOptions("Not Yet"), now + 30 * kDay, now + 400 * kDay, root_);
  const Identity tsa = dated(TimeStampingOptions("TSA"), now - 3000 * kDay, now + kDay, root_);
  const Identity retired_tsa =
      dated(TimeStampingOptions("Retired TSA"), now - 200 * kDay, now - 50 * kDay, root_);
  const Identity other_root = CreateIdentity(CaOptions("Other Root"), nullptr);
  const Identity foreign_tsa = CreateIdentity(TimeStampingOptions("Foreign TSA"), &other_root);
  const Identity not_tsa =
      dated(CodeSigningOptions("Not a TSA"), now - 3000 * kDay, now + kDay, root_);
  CertOptions no_usages = CodeSigningOptions("No Usages");
  no_usages.extended_key_usage.clear();
  const Identity no_usages_tsa = dated(no_usages, now - 3000 * kDay, now + kDay, root_);
  const std::time_t while_valid = now - 100 * kDay;
  const std::time_t after_expiry = now - 10 * kDay;
  const auto stamped = [&](const Identity& authority, std::time_t when) {
    return Sign(expired, {.timestamp_authority = &authority, .timestamp_time = when});
  };
  const auto countersigned = [&](const Identity& authority, std::time_t when) {
    return test::AddCountersignature(Sign(expired), authority, when);
  };
  const std::string good_stamp = stamped(tsa, while_valid);
  const std::string good_countersignature = countersigned(tsa, while_valid);
  const std::string other_file = Sign(expired, {}, MinimalPe(true, 16));
  ExpectVerdicts({
      {"no timestamp", Sign(expired), Status::kCertificateExpired, "Expired"},
      {"RFC 3161 while valid", good_stamp, Status::kOk, "Expired"},
      {"RFC 3161 after expiry", stamped(tsa, after_expiry), Status::kCertificateExpired, "Expired"},
      {"RFC 3161 by a foreign TSA", stamped(foreign_tsa, while_valid), Status::kCertificateExpired,
       "Expired"},
      {"RFC 3161 by a TSA expired since", stamped(retired_tsa, while_valid), Status::kOk,
       "Expired"},
      // Timestamps lie in unsigned attributes, last: damage to them leaves the primary signature
      // intact.
      {"RFC 3161 token's signature", FlipLastSignatureByte(good_stamp), Status::kCertificateExpired,
       "Expired"},
      {"RFC 3161 token of another signature", test::GraftUnsignedAttributes(good_stamp, other_file),
       Status::kCertificateExpired, "Expired"},
      {"countersigned while valid", good_countersignature, Status::kOk, "Expired"},
      {"countersigned after expiry", countersigned(tsa, after_expiry), Status::kCertificateExpired,
       "Expired"},
      {"countersigned by a foreign TSA", countersigned(foreign_tsa, while_valid),
       Status::kCertificateExpired, "Expired"},
      {"countersigned by a code signer", countersigned(not_tsa, while_valid),
       Status::kCertificateExpired, "Expired"},
      {"countersigned without usages", countersigned(no_usages_tsa, while_valid),
       Status::kCertificateExpired, "Expired"},
      {"countersigned by a TSA expired since", countersigned(retired_tsa, while_valid), Status::kOk,
       "Expired"},
      {"countersignature's signature", FlipLastSignatureByte(good_countersignature),
       Status::kCertificateExpired, "Expired"},
      {"countersignature of another signature",
       test::GraftUnsignedAttributes(good_countersignature, other_file),
       Status::kCertificateExpired, "Expired"},
  });
}

TEST_F(VerifyTest, FilesAndDescriptorsAgreeWithMemory) {
  // An installer-sized payload spans many read chunks, the last one partial.
  const std::string image = Sign(Leaf("Large"), {}, MinimalPe(true, (3 << 20) + 12345));
  const struct {
    std::string image;
    Status expected;
  } cases[] = {
      {image, Status::kOk},
      {Flip(image, image.size() / 2), Status::kImageHashMismatch},
      {MinimalPe(), Status::kNoSignature},
      {"", Status::kNotPe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StatusName(c.expected));
    const std::string path = signer_.WriteFile("file.exe", c.image);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const VerifyResult& result : {VerifyImage(c.image, *trust_), VerifyFile(path, *trust_),
                                       VerifyDescriptor(fd, *trust_)}) {
      EXPECT_EQ(result.status, c.expected) << result.detail;
      EXPECT_EQ(result.signer_name, c.expected == Status::kOk ? "Large" : "");
    }
    close(fd);
  }
}

TEST_F(VerifyTest, RefusesWhatIsNotARegularFile) {
  const std::string dir = signer_.directory();
  ASSERT_EQ(mkfifo((dir + "/fifo.exe").c_str(), 0600), 0);
  const std::string paths[] = {"", "/dev/null", dir + "/missing.exe", dir, dir + "/fifo.exe"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const VerifyResult result = VerifyFile(path, *trust_);
    EXPECT_EQ(result.status, Status::kFileUnreadable) << result.detail;
    EXPECT_NE(result.detail, "");
  }
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  for (const int fd : {-1, pipe_fds[0]}) {
    EXPECT_EQ(VerifyDescriptor(fd, *trust_).status, Status::kFileUnreadable) << fd;
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST_F(VerifyTest, DescriptorIsReadAsOpenedWhateverHappensToTheName) {
  const std::string path = signer_.WriteFile("installer.exe", Sign(Leaf("Opened")));
  const std::string swapped = signer_.WriteFile("swapped.exe", MinimalPe());
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 77, SEEK_SET), 77);
  // Someone replaces the file under its name after the caller opened it.
  ASSERT_EQ(rename(swapped.c_str(), path.c_str()), 0);

  const VerifyResult held = VerifyDescriptor(fd, *trust_);
  EXPECT_EQ(held.status, Status::kOk) << held.detail;
  EXPECT_EQ(held.signer_name, "Opened");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 77) << "the descriptor's offset moved";
  EXPECT_EQ(VerifyFile(path, *trust_).status, Status::kNoSignature);
  close(fd);
}

TEST_F(VerifyTest, FileCutShortWhileHashedIsUnreadable) {
  const std::string image = MinimalPe(true, 200000);
  const int fd = open(signer_.WriteFile("shrinks.exe", image).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // The size was taken before the file was cut short.
  const internal::DescriptorByteSource source(fd, image.size());
  internal::PeLayout layout;
  ASSERT_TRUE(internal::ParsePeLayout(source, &layout).ok());
  ASSERT_EQ(ftruncate(fd, 100000), 0);
  std::vector<uint8_t> digest;
  EXPECT_EQ(internal::HashImage(source, layout, EVP_sha256(), &digest).status,
            Status::kFileUnreadable);
  close(fd);
}

// A bundle loads whole or not at all; where there is none, the system's store stands in.
TEST_F(VerifyTest, TrustStores) {
  const Identity second_root = CreateIdentity(CaOptions("Second Root"), nullptr);
  const std::string images[] = {Sign(Leaf("First")), Sign(Leaf("Second", second_root))};
  const std::string first = root_.CertPem();
  const std::string second = second_root.CertPem();
  std::string broken = second;
  broken[broken.size() / 2] = '*';
  const std::string dir = signer_.directory();
  const struct {
    const char* name;
    std::string pem;   // Written to a bundle file, and also loaded from memory.
    std::string path;  // Instead of a bundle file.
    bool loads;
    bool trusts[2];
  } cases[] = {
      {"two roots", first + second, "", true, {true, true}},
      {"one root with text around it", "roots:\n" + first + "end\n", "", true, {true, false}},
      {"a key block is skipped", root_.KeyPem() + second, "", true, {false, true}},
      {"a key only", root_.KeyPem(), "", false, {}},
      {"empty", "", "", false, {}},
      {"one broken block", first + broken, "", false, {}},
      {"no bundle: the system's store", "", dir + "/missing.pem", true, {false, false}},
      {"below a file: the system's store",
       "",
       signer_.WriteFile("file", "") + "/bundle.pem",
       true,
       {false, false}},
      {"a directory in the bundle's place", "", dir, false, {}},
      {"a path that cannot be looked at", "", dir + "/" + std::string(300, 'n'), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool bundle = c.path.empty();
    const std::string path = bundle ? signer_.WriteFile("bundle.pem", c.pem) : c.path;
    std::string error;
    const std::unique_ptr<TrustStore> stores[] = {
        TrustStore::LoadBundleOrSystemDefault(path, &error),
        bundle ? TrustStore::FromPem(c.pem) : TrustStore::LoadBundleOrSystemDefault(path)};
    EXPECT_EQ(error.empty(), c.loads) << error;
    for (const std::unique_ptr<TrustStore>& store : stores) {
      ASSERT_EQ(store != nullptr, c.loads);
      for (int i = 0; store != nullptr && i < 2; ++i) {
        EXPECT_EQ(VerifyImage(images[i], *store).ok(), c.trusts[i]) << i;
      }
    }
  }
  std::string error;
  EXPECT_EQ(TrustStore::LoadPemFile(dir + "/missing.pem", &error), nullptr);
  EXPECT_NE(error, "");
}

}  // namespace
}  // namespace authenticode
