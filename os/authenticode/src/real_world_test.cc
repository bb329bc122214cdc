// Verdicts on PE images signed by other parties' real signing systems: Debian's signed boot
// loaders, which scripts/fetch-signed-samples unpacks into TAVORI_SIGNED_SAMPLES (a ctest fixture
// runs it first). Every image found there is one row. Nothing about the files is written down
// here: osslsigncode, a verifier independent of this code, says what each signature holds (its
// signer, its dates, the image hash it signed and the one it computes), and the expectations follow
// from that and from the certificates the images themselves carry.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "src/signed_data.h"

namespace authenticode {

void PrintTo(Status status, std::ostream* out) { *out << StatusName(status); }

namespace {

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsPeImage(std::string_view bytes) {
  if (bytes.size() < 0x40 || bytes.substr(0, 2) != "MZ") {
    return false;
  }
  const size_t pe = static_cast<uint8_t>(bytes[0x3C]) | static_cast<uint8_t>(bytes[0x3D]) << 8 |
                    static_cast<uint8_t>(bytes[0x3E]) << 16 |
                    static_cast<size_t>(static_cast<uint8_t>(bytes[0x3F])) << 24;
  return pe < bytes.size() && bytes.substr(pe, 4) == std::string_view("PE\0\0", 4);
}

// What `osslsigncode verify` prints about a file's primary signature.
struct SecondOpinion {
  std::string signed_digest;    // "Current message digest", from the signature.
  std::string computed_digest;  // "Calculated message digest", from the file.
  std::string subject;          // The signer's, "/C=.../CN=...".
  std::string issuer;
  std::time_t not_before = 0;
  std::time_t not_after = 0;
  bool timestamped = true;
};

std::string After(const std::string& line, const std::string& label) {
  const size_t at = line.find(label);
  if (at == std::string::npos) {
    return "";
  }
  std::string value = line.substr(at + label.size());
  value.erase(0, value.find_first_not_of(" :\t"));
  value.erase(value.find_last_not_of(" \t\n") + 1);
  return value;
}

std::time_t ParseGmt(const std::string& text) {
  std::tm tm{};
  if (strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm) == nullptr) {
    ADD_FAILURE() << "unexpected date: " << text;
    return 0;
  }
  return timegm(&tm);
}

SecondOpinion AskOsslsigncode(const std::string& path) {
  EXPECT_EQ(path.find('\''), std::string::npos);
  const std::string command = "osslsigncode verify -ignore-cdp -in '" + path + "' 2>&1";
  FILE* out = popen(command.c_str(), "r");
  SecondOpinion opinion;
  if (out == nullptr) {
    ADD_FAILURE() << "cannot run osslsigncode";
    return opinion;
  }
  // The first signer block is the primary signature's; nested ones follow it.
  bool in_signer = false;
  char buffer[4096];
  while (std::fgets(buffer, sizeof(buffer), out) != nullptr) {
    const std::string line = buffer;
    if (opinion.signed_digest.empty() && line.starts_with("Current message digest")) {
      opinion.signed_digest = After(line, "Current message digest");
    } else if (opinion.computed_digest.empty() && line.starts_with("Calculated message digest")) {
      opinion.computed_digest = After(line, "Calculated message digest");
    } else if (opinion.subject.empty() && line.starts_with("Signer's certificate")) {
      in_signer = true;
    } else if (in_signer && line.find("Subject:") != std::string::npos) {
      opinion.subject = After(line, "Subject:");
    } else if (in_signer && line.find("Issuer :") != std::string::npos) {
      opinion.issuer = After(line, "Issuer :");
    } else if (in_signer && line.find("notBefore") != std::string::npos) {
      opinion.not_before = ParseGmt(After(line, "notBefore"));
    } else if (in_signer && line.find("notAfter") != std::string::npos) {
      opinion.not_after = ParseGmt(After(line, "notAfter"));
      in_signer = false;
    } else if (line.starts_with("Timestamp is not available")) {
      opinion.timestamped = false;
    }
  }
  pclose(out);
  EXPECT_NE(opinion.subject, "") << "osslsigncode named no signer for " << path;
  return opinion;
}

// Where the next "/KEY=" component of a subject in osslsigncode's form starts at or after |from|
// (values may hold slashes), or npos.
size_t NextComponent(const std::string& subject, size_t from) {
  for (size_t at = subject.find('/', from); at != std::string::npos;
       at = subject.find('/', at + 1)) {
    const size_t key_end = subject.find_first_not_of(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.", at + 1);
    if (key_end != std::string::npos && key_end > at + 1 && subject[key_end] == '=') {
      return at;
    }
  }
  return std::string::npos;
}

// The simple display name of a subject in osslsigncode's "/KEY=value/..." form.
std::string DisplayName(const std::string& subject) {
  for (const std::string key : {"CN", "OU", "O", "emailAddress"}) {
    for (size_t at = NextComponent(subject, 0); at != std::string::npos;
         at = NextComponent(subject, at + 1)) {
      if (subject.compare(at + 1, key.size() + 1, key + "=") == 0) {
        const size_t begin = at + key.size() + 2;
        const size_t end = NextComponent(subject, begin);
        return subject.substr(begin, end == std::string::npos ? end : end - begin);
      }
    }
  }
  return "";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string hex;
  for (const uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02X", b);
    hex += pair;
  }
  return hex;
}

// The image hash as this verifier computes it, with the primary signature's algorithm.
std::string ImageHash(std::string_view image) {
  const internal::MemoryByteSource source(image);
  internal::PeLayout layout;
  std::vector<uint8_t> der;
  internal::SignedData data;
  std::vector<uint8_t> digest;
  if (!internal::ParsePeLayout(source, &layout).ok() ||
      !internal::ReadPrimarySignature(source, layout, &der).ok() ||
      !internal::ParseSignedData(der, &data).ok() ||
      !internal::HashImage(source, layout, data.image_digest_md, &digest).ok()) {
    return "";
  }
  return Hex(digest);
}

// Self-signed CA certificates embedded in the signed part of |image| (as a boot loader carries
// the roots it trusts), in DER, found by trying every offset that starts like one.
std::vector<test::Identity> EmbeddedRoots(std::string_view image) {
  const test::PeOffsets pe = test::LocatePe(image);
  const std::string_view hashed = image.substr(0, pe.table_size != 0 ? pe.table_offset : 0);
  std::vector<test::Identity> roots;
  for (size_t at = hashed.find("\x30\x82"); at != std::string_view::npos;
       at = hashed.find("\x30\x82", at + 1)) {
    const auto* p = reinterpret_cast<const unsigned char*>(hashed.data() + at);
    std::shared_ptr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(hashed.size() - at)),
                               X509_free);
    if (cert != nullptr && X509_check_ca(cert.get()) != 0 &&
        X509_check_issued(cert.get(), cert.get()) == X509_V_OK) {
      roots.push_back({nullptr, std::move(cert)});
    }
  }
  return roots;
}

std::string Oneline(const X509_NAME* name) {
  char buffer[1024];
  return X509_NAME_oneline(name, buffer, sizeof(buffer));
}

struct Image {
  std::string path;
  std::string bytes;
  // osslsigncode's opinion of each certificate-table entry alone, in order.
  std::vector<SecondOpinion> entries;
};

class RealWorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = TAVORI_SIGNED_SAMPLES;
    ASSERT_TRUE(std::filesystem::exists(dir / ".fetched"))
        << dir << " holds no samples: run scripts/fetch-signed-samples " << dir
        << " (ctest's fixture does), which needs apt-get to reach a Debian archive";
    for (const auto& file : std::filesystem::recursive_directory_iterator(dir)) {
      std::string bytes = file.is_regular_file() ? ReadWholeFile(file.path()) : "";
      if (!IsPeImage(bytes)) {
        continue;
      }
      Image image{file.path().string(), std::move(bytes), {}};
      // osslsigncode refuses a table of several entries: ask about each on its own. The table
      // lies outside the image hash, so every copy has the original's hash.
      for (const std::string& der : test::ExtractEntries(image.bytes)) {
        const std::string copy = signer_.WriteFile("entry" + std::to_string(++copies_) + ".efi",
                                                   test::ReplaceSignature(image.bytes, der));
        image.entries.push_back(AskOsslsigncode(copy));
      }
      images_.push_back(std::move(image));
    }
    ASSERT_GE(images_.size(), 2u) << "fewer PE images than the packages carry in " << dir;
  }

  test::Signer signer_{::testing::TempDir()};
  int copies_ = 0;
  std::vector<Image> images_;
};

TEST_F(RealWorldTest, ImageHashAndSignerVerifyButTheChainIsNotTrustedHere) {
  const test::Identity unrelated = test::CreateIdentity(test::CaOptions("Unrelated Root"), nullptr);
  const std::unique_ptr<TrustStore> trust = TrustStore::FromPem(unrelated.CertPem());
  ASSERT_NE(trust, nullptr);
  bool saw_two_signers = false;
  for (const Image& image : images_) {
    SCOPED_TRACE(image.path);
    ASSERT_FALSE(image.entries.empty()) << "unsigned";
    for (const SecondOpinion& entry : image.entries) {
      EXPECT_EQ(entry.signed_digest, entry.computed_digest) << "osslsigncode's image hash";
    }
    const SecondOpinion& primary = image.entries.front();
    EXPECT_EQ(ImageHash(image.bytes), primary.computed_digest);

    const VerifyResult result = VerifyFile(image.path, *trust);
    std::printf("%s: %s (%s), signed by \"%s\", %zu entries\n", image.path.c_str(),
                StatusName(result.status), result.detail.c_str(), result.signer_name.c_str(),
                image.entries.size());
    EXPECT_EQ(result.status, Status::kUntrustedChain) << result.detail;
    EXPECT_EQ(result.signer_name, DisplayName(primary.subject));
    EXPECT_NE(result.signer_name, "");
    saw_two_signers =
        saw_two_signers ||
        (image.entries.size() > 1 && DisplayName(image.entries[1].subject) != result.signer_name);
  }
  EXPECT_TRUE(saw_two_signers) << "no image whose second entry names another signer";
}

// A boot loader carries the root its distribution signs with; with that root trusted, the images
// signed directly under it verify, or are expired when the certificates' dates say so. The others
// stay untrusted.
TEST_F(RealWorldTest, WithTheCarriedRootsTrusted) {
  std::vector<test::Identity> roots;
  std::string bundle;
  for (const Image& image : images_) {
    for (const test::Identity& root : EmbeddedRoots(image.bytes)) {
      roots.push_back(root);
      bundle += root.CertPem();
    }
  }
  ASSERT_FALSE(roots.empty()) << "no image carries a root certificate";
  const std::unique_ptr<TrustStore> trust = TrustStore::FromPem(bundle);
  ASSERT_NE(trust, nullptr);

  const std::time_t now = std::time(nullptr);
  int chained = 0;
  for (const Image& image : images_) {
    SCOPED_TRACE(image.path);
    const SecondOpinion& primary = image.entries.at(0);
    const X509* root = nullptr;
    for (const test::Identity& candidate : roots) {
      if (Oneline(X509_get_subject_name(candidate.cert.get())) == primary.issuer) {
        root = candidate.cert.get();
      }
    }
    const VerifyResult result = VerifyFile(image.path, *trust);
    std::printf("%s: %s (%s), root %s\n", image.path.c_str(), StatusName(result.status),
                result.detail.c_str(), root != nullptr ? "carried" : "not carried");
    EXPECT_EQ(result.signer_name, DisplayName(primary.subject));
    if (root == nullptr) {
      EXPECT_EQ(result.status, Status::kUntrustedChain) << result.detail;
      continue;
    }
    ++chained;
    const bool valid_now = primary.not_before <= now && now <= primary.not_after &&
                           X509_cmp_current_time(X509_get0_notBefore(root)) < 0 &&
                           X509_cmp_current_time(X509_get0_notAfter(root)) > 0;
    if (valid_now) {
      EXPECT_EQ(result.status, Status::kOk) << result.detail;
    } else if (!primary.timestamped) {
      EXPECT_EQ(result.status, Status::kCertificateExpired) << result.detail;
    } else {
      EXPECT_TRUE(result.status == Status::kOk || result.status == Status::kCertificateExpired)
          << StatusName(result.status) << ": " << result.detail;
    }
  }
  EXPECT_GT(chained, 0) << "no image is signed under a root the packages carry";
}

}  // namespace
}  // namespace authenticode
